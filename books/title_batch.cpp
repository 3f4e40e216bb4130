#include "books/title_batch.h"

#include <string.h>

#include <algorithm>
#include <new>

namespace {

// Room for the sort key of the longest display title.
const int kSortKeyBytes = 4096;
const size_t kFirstRecordBytes = 64 * 1024;
const size_t kFirstOffsets = 256;

// The comparison a sorted list box makes, as a sort key.
const DWORD kSortFlags = LCMAP_SORTKEY | NORM_IGNORECASE;

void AddToList(HWND list, const char *title) { SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(title)); }

DWORD KeyLength(const char *record) {
    DWORD length;
    memcpy(&length, record, sizeof length);
    return length;
}
const char *KeyOf(const char *record) { return record + sizeof(DWORD); }
const char *TitleOf(const char *record) { return record + sizeof(DWORD) + KeyLength(record); }

void Release(TitleBatch &batch) {
    delete[] batch.records;
    delete[] batch.offsets;
    batch.records = nullptr;
    batch.offsets = nullptr;
    batch.recordBytes = batch.recordCapacity = 0;
    batch.count = batch.offsetCapacity = 0;
}

// The titles gathered so far go to the list box one by one, as will every
// later one: the list box sorts them itself.
void SwitchToDirect(TitleBatch &batch) {
    for (size_t i = 0; i < batch.count; ++i) AddToList(batch.list, TitleOf(batch.records + batch.offsets[i]));
    Release(batch);
    batch.direct = true;
}

bool GrowRecords(TitleBatch &batch, size_t more) {
    if (batch.recordCapacity - batch.recordBytes >= more) return true;
    const size_t needed = batch.recordBytes + more;
    if (needed < more) return false;  // overflow
    const size_t capacity = std::max(needed, std::max(kFirstRecordBytes, batch.recordCapacity * 2));
    char *records = new (std::nothrow) char[capacity];
    if (!records) return false;
    if (batch.recordBytes) memcpy(records, batch.records, batch.recordBytes);
    delete[] batch.records;
    batch.records = records;
    batch.recordCapacity = capacity;
    return true;
}

bool GrowOffsets(TitleBatch &batch) {
    if (batch.count < batch.offsetCapacity) return true;
    const size_t capacity = batch.offsetCapacity ? batch.offsetCapacity * 2 : kFirstOffsets;
    if (capacity > static_cast<size_t>(-1) / sizeof(size_t)) return false;
    size_t *offsets = new (std::nothrow) size_t[capacity];
    if (!offsets) return false;
    if (batch.count) memcpy(offsets, batch.offsets, batch.count * sizeof(size_t));
    delete[] batch.offsets;
    batch.offsets = offsets;
    batch.offsetCapacity = capacity;
    return true;
}

}  // namespace

void StartTitleBatch(TitleBatch &batch, HWND list) {
    batch = TitleBatch{};
    batch.list = list;
    batch.locale = static_cast<LCID>(SendMessageA(list, LB_GETLOCALE, 0, 0));
    if (batch.locale == 0) batch.locale = GetUserDefaultLCID();
}

void AddToTitleBatch(TitleBatch &batch, const char *title) {
    if (batch.direct) {
        AddToList(batch.list, title);
        return;
    }
    char key[kSortKeyBytes];
    const int keyLength = LCMapStringA(batch.locale, kSortFlags, title, -1, key, sizeof key);
    const size_t titleBytes = strlen(title) + 1;
    const size_t recordBytes = sizeof(DWORD) + static_cast<size_t>(keyLength) + titleBytes;
    if (keyLength <= 0 || !GrowRecords(batch, recordBytes) || !GrowOffsets(batch)) {
        SwitchToDirect(batch);
        AddToList(batch.list, title);
        return;
    }
    char *record = batch.records + batch.recordBytes;
    const DWORD length = static_cast<DWORD>(keyLength);
    memcpy(record, &length, sizeof length);
    memcpy(record + sizeof length, key, length);
    memcpy(record + sizeof length + length, title, titleBytes);
    batch.offsets[batch.count++] = batch.recordBytes;
    batch.recordBytes += recordBytes;
}

void FinishTitleBatch(TitleBatch &batch) {
    if (batch.direct || batch.count == 0) {
        Release(batch);
        return;
    }
    // Records lie in arrival order, so equal keys keep that order by offset.
    const char *records = batch.records;
    std::sort(batch.offsets, batch.offsets + batch.count, [records](size_t a, size_t b) {
        const DWORD lengthA = KeyLength(records + a), lengthB = KeyLength(records + b);
        const int order = memcmp(KeyOf(records + a), KeyOf(records + b), std::min(lengthA, lengthB));
        if (order != 0) return order < 0;
        if (lengthA != lengthB) return lengthA < lengthB;
        return a < b;
    });
    // Appending in key order keeps the list sorted only while it holds
    // nothing else; otherwise the list box sorts each title in itself.
    const bool empty = SendMessageA(batch.list, LB_GETCOUNT, 0, 0) == 0;
    if (empty) SendMessageA(batch.list, LB_INITSTORAGE, batch.count, batch.recordBytes);
    for (size_t i = 0; i < batch.count; ++i) {
        const char *title = TitleOf(records + batch.offsets[i]);
        if (empty) {
            SendMessageA(batch.list, LB_INSERTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(title));
        } else {
            AddToList(batch.list, title);
        }
    }
    Release(batch);
}
