// Book titles: a book file ("*.vbk") is shown by the title in its 78-byte
// header. The newspaper, which publishes every issue under one title, is
// shown with the file name added, so that its issues can be told apart.
#pragma once

#include <windows.h>

#include <stddef.h>

// The header at the start of every book file; the title is its first field.
const DWORD kBookHeaderBytes = 78;
const size_t kBookTitleFieldBytes = 32;

// Room for any display title and its NUL: the newspaper's is
// "The Wall Street Journal (" + file name + ")", 26 characters plus a file
// name of up to 259.
const size_t kBookTitleChars = 26 + 259 + 1;
// Room for a resolved file name and its NUL (the host's path limit).
const size_t kBookFileNameChars = MAX_PATH;

// The book files of a folder, in the host's own name matching.
inline constexpr char kBookSearchPattern[] = "*.vbk";

// Writes the display title of fileName into title (titleChars characters
// including the NUL; a title that does not fit is cut). A file that cannot
// be opened is reported ("Failed to open book") and gets no title: title is
// left untouched and the result is false. A header shorter than 78 bytes is
// reported ("Unable to read file title.") and gives "Title Unavailable".
bool ReadBookTitle(const char *fileName, char *title, size_t titleChars = kBookTitleChars);

// True when fileName opens and its display title is title now ("Title
// Unavailable" for a header shorter than 78 bytes). Shows nothing.
bool FileCarriesTitle(const char *fileName, const char *title);

// Finds the first file, in the order of a search of the current directory
// for "*.vbk", whose display title is title, and writes its name into
// fileName (kBookFileNameChars). When no file carries the title, fileName is
// left untouched and the result is false.
bool FindBookFileByTitle(const char *title, char *fileName);

// One wanted title and the file found for it.
struct BookTitleMatch {
    const char *title;
    char fileName[kBookFileNameChars];
    bool found;
};

// Resolves many titles in one search of the current directory, each to the
// same file FindBookFileByTitle would give. Every file is read at most once,
// so an unreadable file is reported at most once per call, and the search
// stops as soon as every title is found. False (nothing found) when memory
// for the search's index cannot be had.
bool FindBookFilesByTitles(BookTitleMatch *matches, size_t count);
