#include "books/storage_selection.h"

#include <string.h>

#include "books/book_paths.h"
#include "books/page_input.h"
#include "device/rapi.h"
#include "resources/resource_ids.h"
#include "resources/texts.h"
#include "base/message_box.h"
#include "base/setup_state.h"

namespace {

// The device marks a mounted storage card as a root folder that also
// carries the temporary attribute.
const DWORD kStorageCardAttributes = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_TEMPORARY;

// The ANSI name of a storage card, as it is listed and as the root is
// built from it: "\" + name + "\" must fit storageRoot.
struct CardName {
    char text[kPathChars];
};

// True when the root entry is a storage card that the books can be sent
// to: a card whose name converts to ANSI without loss (every later device
// path is built from that ANSI text) and whose book folder can take a copy
// within the device's path length. A card without such a name is never
// offered, so no choice can lead to a wrong or a cut path.
bool ReadOfferableCard(const CE_FIND_DATA &entry, CardName *name) {
    if ((entry.dwFileAttributes & kStorageCardAttributes) != kStorageCardAttributes) return false;
    if (entry.cFileName[0] == L'\0') return false;
    // A UTF-8 code page loses nothing and takes no "lossy" flag.
    BOOL lossy = FALSE;
    int bytes = WideCharToMultiByte(CP_ACP, 0, entry.cFileName, -1, name->text, sizeof name->text, nullptr,
                                    GetACP() == CP_UTF8 ? nullptr : &lossy);
    if (bytes == 0 || lossy) return false;
    // bytes counts the terminator: the root adds two separators.
    return StorageRootHoldsBooks(static_cast<size_t>(bytes - 1) + 2);
}

// No device root holds this many entries: a search that goes on past
// them is ended, and the cards found so far are offered.
const int kMostRootEntries = 4096;

// Calls visit for each offerable storage card of the device root, in the
// device's search order, with one search. A failed search finds none.
template <typename Visit>
int ForEachStorageCard(Visit visit) {
    CE_FIND_DATA entry;
    HANDLE search = CeFindFirstFile(L"\\*", &entry);
    if (search == INVALID_HANDLE_VALUE) return 0;
    int cards = 0;
    int entries = 0;
    do {
        CardName name;
        if (ReadOfferableCard(entry, &name)) {
            ++cards;
            visit(name);
        }
    } while (++entries < kMostRootEntries && CeFindNextFile(search, &entry));
    CeFindClose(search);
    return cards;
}

// Position 0 is main memory, then the cards in the device's order, all
// from one search: the list is what the user chooses from.
void FillLocationList(HWND list) {
    SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(kTextMainMemory));
    ForEachStorageCard(
        [list](const CardName &name) { SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.text)); });
    SendMessageA(list, LB_SETCURSEL, 0, 0);
}

// storageRoot from the entry the user chose, by its listed name: "\" for
// main memory (or no selection), "\" + card name + "\" for a card. False,
// storageRoot unchanged, when a card's name cannot be read back whole: the
// books must not go to main memory, or to a cut name, instead.
bool SetStorageRootFromList(HWND list) {
    LRESULT position = SendMessageA(list, LB_GETCURSEL, 0, 0);
    if (position <= 0) {
        strcpy(g_setup.storageRoot, "\\");
        return true;
    }
    LRESULT length = SendMessageA(list, LB_GETTEXTLEN, position, 0);
    CardName name;
    if (length <= 0 || length + 2 >= kPathChars ||
        SendMessageA(list, LB_GETTEXT, position, reinterpret_cast<LPARAM>(name.text)) != length) {
        return false;
    }
    g_setup.storageRoot[0] = '\\';
    memcpy(g_setup.storageRoot + 1, name.text, static_cast<size_t>(length));
    g_setup.storageRoot[length + 1] = '\\';
    g_setup.storageRoot[length + 2] = '\0';
    return true;
}

// A location whose name cannot be read is said so, and the page stays for
// another choice.
void OnNext(HWND page) {
    if (SetStorageRootFromList(GetDlgItem(page, IDC_LIST))) {
        EndDialog(page, 1);
        return;
    }
    HoldPageInput(page);
    ShowMessage(kTextStorageNameUnreadable, kCaptionError, MB_OK | MB_ICONWARNING);
    ReleasePageInput(page);
}

void OnCancel(HWND page) {
    HoldPageInput(page);
    if (ConfirmAbort()) EndDialog(page, 0);
    ReleasePageInput(page);
}

INT_PTR CALLBACK StorageSelectionProc(HWND page, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        FillLocationList(GetDlgItem(page, IDC_LIST));
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_LIST && HIWORD(wParam) == LBN_DBLCLK) {
            OnNext(page);
            return TRUE;
        }
        switch (LOWORD(wParam)) {
        case IDC_NEXT:
            OnNext(page);
            return TRUE;
        case IDC_CANCEL:
            OnCancel(page);
            return TRUE;
        case IDC_WIZARD_BACK:
            EndDialog(page, IDC_WIZARD_BACK);
            return TRUE;
        default:
            return FALSE;
        }
    default:
        return FALSE;
    }
}

}  // namespace

int CountStorageLocations() {
    return 1 + ForEachStorageCard([](const CardName &) {});
}

int RunStorageSelection() {
    if (CountStorageLocations() < 2) {
        strcpy(g_setup.storageRoot, "\\");
        return 1;
    }
    INT_PTR result = DialogBoxParamA(g_setup.instance, MAKEINTRESOURCEA(IDD_STORAGE_LOCATION), nullptr,
                                     StorageSelectionProc, 0);
    if (result == 1) return 1;
    if (result == IDC_WIZARD_BACK) return -1;
    // Cancel confirmed; or the page could not be shown at all, which must
    // neither count as a choice nor send the user back and forth between
    // the two pages.
    return 0;
}
