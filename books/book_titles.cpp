#include "books/book_titles.h"

#include <string.h>

#include <algorithm>
#include <new>

#include "resources/texts.h"
#include "base/message_box.h"

namespace {

// Appends text to the display title being built, cutting it where the
// caller's buffer ends; the title always stays terminated.
struct TitleWriter {
    char *title;
    size_t room;  // characters, NUL included
    size_t used;

    void Append(const char *text, size_t length) {
        if (room == 0) return;
        const size_t fits = std::min(length, room - 1 - used);
        memcpy(title + used, text, fits);
        used += fits;
        title[used] = '\0';
    }
    void Append(const char *text) { Append(text, strlen(text)); }
};

// The title is the field's text up to its first NUL, or all 32 bytes when
// it has none.
size_t TitleLength(const char *header) {
    const void *nul = memchr(header, '\0', kBookTitleFieldBytes);
    return nul ? static_cast<size_t>(static_cast<const char *>(nul) - header) : kBookTitleFieldBytes;
}

bool IsNewspaperTitle(const char *header, size_t length) {
    return length == sizeof kTextNewspaperTitle - 1 && memcmp(header, kTextNewspaperTitle, length) == 0;
}

void MakeDisplayTitle(const char *header, const char *fileName, char *title, size_t titleChars) {
    TitleWriter writer{title, titleChars, 0};
    const size_t length = TitleLength(header);
    writer.Append(header, length);
    if (IsNewspaperTitle(header, length)) {
        writer.Append(" (");
        writer.Append(fileName);
        writer.Append(")");
    }
}

// Reads the whole header in one read; false when the file is shorter.
bool ReadHeader(HANDLE file, char (&header)[kBookHeaderBytes]) {
    DWORD read = 0;
    return ReadFile(file, header, kBookHeaderBytes, &read, nullptr) && read == kBookHeaderBytes;
}

enum class Header { kNoFile, kShort, kRead };

// Opens the book (others may read it at the same time) and reads its
// header. The file is closed before any box, so it is not held while the
// user reads one.
Header ReadHeaderOf(const char *fileName, char (&header)[kBookHeaderBytes]) {
    HANDLE file =
        CreateFileA(fileName, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return Header::kNoFile;
    const bool headerRead = ReadHeader(file, header);
    CloseHandle(file);
    return headerRead ? Header::kRead : Header::kShort;
}

bool TitleLess(const BookTitleMatch *match, const char *title) { return strcmp(match->title, title) < 0; }
bool TitleGreater(const char *title, const BookTitleMatch *match) { return strcmp(title, match->title) < 0; }
bool MatchLess(const BookTitleMatch *a, const BookTitleMatch *b) { return strcmp(a->title, b->title) < 0; }

// Gives every still unfound match of title the file name; returns how many
// matches that resolved. index is sorted by title.
size_t ResolveTitle(BookTitleMatch **index, size_t count, const char *title, const char *fileName) {
    BookTitleMatch **from = std::lower_bound(index, index + count, title, TitleLess);
    BookTitleMatch **to = std::upper_bound(from, index + count, title, TitleGreater);
    size_t resolved = 0;
    for (BookTitleMatch **match = from; match != to; ++match) {
        if ((*match)->found) continue;
        memcpy((*match)->fileName, fileName, strlen(fileName) + 1);
        (*match)->found = true;
        ++resolved;
    }
    return resolved;
}

// One search of the current directory, reading each file's title once, in
// the search's order: the first file that carries a title wins it, as a
// search for that title alone would find. index (room for count pointers)
// is the caller's scratch space.
void ResolveTitles(BookTitleMatch *matches, size_t count, BookTitleMatch **index) {
    for (size_t i = 0; i < count; ++i) {
        matches[i].found = false;
        index[i] = &matches[i];
    }
    if (count == 0) return;
    std::sort(index, index + count, MatchLess);

    size_t unresolved = count;
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA(kBookSearchPattern, &entry);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        char title[kBookTitleChars];
        if (!ReadBookTitle(entry.cFileName, title)) continue;  // no title: never matches
        unresolved -= ResolveTitle(index, count, title, entry.cFileName);
    } while (unresolved > 0 && FindNextFileA(search, &entry));
    FindClose(search);
}

}  // namespace

bool ReadBookTitle(const char *fileName, char *title, size_t titleChars) {
    char header[kBookHeaderBytes];
    switch (ReadHeaderOf(fileName, header)) {
    case Header::kNoFile:
        ShowMessage(kTextBookOpenFailed, kCaptionError, MB_OK);
        return false;
    case Header::kShort:
        ShowMessage(kTextTitleUnreadable, kCaptionFileError, MB_OK);
        TitleWriter{title, titleChars, 0}.Append(kTextTitleUnavailable);
        return true;
    case Header::kRead:
        break;
    }
    MakeDisplayTitle(header, fileName, title, titleChars);
    return true;
}

bool FileCarriesTitle(const char *fileName, const char *title) {
    char header[kBookHeaderBytes];
    char carried[kBookTitleChars];
    switch (ReadHeaderOf(fileName, header)) {
    case Header::kNoFile:
        return false;
    case Header::kShort:
        return strcmp(title, kTextTitleUnavailable) == 0;
    case Header::kRead:
        break;
    }
    MakeDisplayTitle(header, fileName, carried, sizeof carried);
    return strcmp(title, carried) == 0;
}

bool FindBookFileByTitle(const char *title, char *fileName) {
    BookTitleMatch match;
    match.title = title;
    BookTitleMatch *index[1];
    ResolveTitles(&match, 1, index);
    if (match.found) memcpy(fileName, match.fileName, strlen(match.fileName) + 1);
    return match.found;
}

bool FindBookFilesByTitles(BookTitleMatch *matches, size_t count) {
    BookTitleMatch **index = new (std::nothrow) BookTitleMatch *[count];
    if (!index) {
        for (size_t i = 0; i < count; ++i) matches[i].found = false;
        return false;
    }
    ResolveTitles(matches, count, index);
    delete[] index;
    return true;
}
