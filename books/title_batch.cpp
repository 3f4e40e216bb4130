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

void SetEntryData(HWND list, LRESULT position, LPARAM data) {
    if (position >= 0) SendMessageA(list, LB_SETITEMDATA, static_cast<WPARAM>(position), data);
}

void AddToList(HWND list, const char *title, LPARAM data) {
    SetEntryData(list, SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(title)), data);
}

LPARAM DataOf(const char *record) {
    LPARAM data;
    memcpy(&data, record, sizeof data);
    return data;
}
DWORD KeyLength(const char *record) {
    DWORD length;
    memcpy(&length, record + sizeof(LPARAM), sizeof length);
    return length;
}
const char *KeyOf(const char *record) { return record + sizeof(LPARAM) + sizeof(DWORD); }
const char *TitleOf(const char *record) { return KeyOf(record) + KeyLength(record); }

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
    for (size_t i = 0; i < batch.count; ++i) {
        const char *record = batch.records + batch.offsets[i];
        AddToList(batch.list, TitleOf(record), DataOf(record));
    }
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

void AddToTitleBatch(TitleBatch &batch, const char *title, LPARAM data) {
    if (batch.direct) {
        AddToList(batch.list, title, data);
        return;
    }
    char key[kSortKeyBytes];
    const int keyLength = LCMapStringA(batch.locale, kSortFlags, title, -1, key, sizeof key);
    const size_t titleBytes = strlen(title) + 1;
    const size_t recordBytes = sizeof data + sizeof(DWORD) + static_cast<size_t>(keyLength) + titleBytes;
    if (keyLength <= 0 || !GrowRecords(batch, recordBytes) || !GrowOffsets(batch)) {
        SwitchToDirect(batch);
        AddToList(batch.list, title, data);
        return;
    }
    char *record = batch.records + batch.recordBytes;
    const DWORD length = static_cast<DWORD>(keyLength);
    memcpy(record, &data, sizeof data);
    memcpy(record + sizeof data, &length, sizeof length);
    memcpy(record + sizeof data + sizeof length, key, length);
    memcpy(record + sizeof data + sizeof length + length, title, titleBytes);
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
        const char *record = records + batch.offsets[i];
        if (empty) {
            SetEntryData(batch.list,
                         SendMessageA(batch.list, LB_INSERTSTRING, static_cast<WPARAM>(-1),
                                      reinterpret_cast<LPARAM>(TitleOf(record))),
                         DataOf(record));
        } else {
            AddToList(batch.list, TitleOf(record), DataOf(record));
        }
    }
    Release(batch);
}
