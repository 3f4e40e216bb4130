// Helpers of the book tests: a temporary folder of generated book files,
// made the current directory while it lives, and a recorder that answers
// the message boxes shown on the test's own thread.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// A book file's bytes: the title padded with NULs to 32 bytes (a title of
// 32 characters or more fills the field with no NUL), then header and text
// bytes up to the given size.
std::string BookBytes(const std::string &title, size_t size = 78);

// A fresh temporary folder, the current directory until it goes; the
// previous current directory comes back and the folder is deleted then.
class BookFolder {
public:
    BookFolder();
    ~BookFolder();
    BookFolder(const BookFolder &) = delete;
    BookFolder &operator=(const BookFolder &) = delete;

    const std::string &Path() const { return path_; }
    // Writes a file in the folder (name relative to it).
    void Write(const std::string &name, const std::string &bytes) const;
    void WriteBook(const std::string &name, const std::string &title, size_t size = 78) const {
        Write(name, BookBytes(title, size));
    }
    void MakeSubfolder(const std::string &name) const;
    void Remove(const std::string &name) const;
    // Holds the file open with no sharing, so nobody else can open it,
    // until the folder goes or Unlock.
    void Lock(const std::string &name);
    void Unlock();

    // The names a search of the folder for "*.vbk" gives, in its order.
    std::vector<std::string> SearchOrder() const;

private:
    std::string path_;
    char previous_[MAX_PATH];
    std::vector<HANDLE> locks_;
};

// While it lives, every message box shown on this thread under one of the
// given captions (by default the book titles' and the error helper's) is
// recorded with its text and answered at once with the given button.
// Boxes under other captions are left to the robot.
class BoxRecorder {
public:
    struct Box {
        std::string caption;
        std::string text;
    };

    explicit BoxRecorder(std::vector<std::string> captions = {"Error", "File Error"}, int answer = IDOK);
    ~BoxRecorder();
    BoxRecorder(const BoxRecorder &) = delete;
    BoxRecorder &operator=(const BoxRecorder &) = delete;

    std::vector<Box> Boxes() const;
    // How many boxes had this text.
    size_t Count(const std::string &text) const;
    void Clear();

private:
    static LRESULT CALLBACK Hook(int code, WPARAM wParam, LPARAM lParam);
    void Seen(HWND box);

    int answer_;
    std::vector<std::string> captions_;
    HHOOK hook_;
    mutable CRITICAL_SECTION lock_;
    std::vector<Box> boxes_;
};

// The system's own text for an error code, as the error box shows it.
std::string SystemErrorText(DWORD code);
