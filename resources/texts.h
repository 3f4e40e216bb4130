// Every text the program shows or writes, in one place. ANSI texts are in
// code page 1252, where "\x99" is the trade mark sign; UTF-16 texts carry it
// as U+2122.
#pragma once

#include <windows.h>

// Captions.
inline constexpr char kCaptionSetup[] = "Tesh\x99 Reader Setup";
inline constexpr char kCaptionError[] = "Error";
inline constexpr char kCaptionDebug[] = "Debug";
inline constexpr char kCaptionDeviceInformation[] = "Device Information";
inline constexpr char kCaptionCopyError[] = "Error 151";
inline constexpr char kCaptionSetupInfoButton[] = "Corvex Reader Setup Info";
inline constexpr char kCaptionSetupInfoHotKey[] = "Tesh\x99 Reader Setup Info";
inline constexpr char kCaptionUpdateProblem[] = "Corvex Reader Setup Problem";
inline constexpr char kCaptionFileError[] = "File Error";

// Questions and messages.
inline constexpr char kTextAbortQuestion[] = "Do you really want to abort the program?";
inline constexpr char kTextNoConnection[] = "No device connection has been established.";
inline constexpr char kTextConnectFailure[] = "Failure";
inline constexpr char kTextRegistryUnavailable[] = "Unable to open registry";
inline constexpr char kTextCopyError[] = "Error while copying file to CE Device.";
inline constexpr char kTextEmulatorRefused[] =
    "The Tesh\x99 Reader cannot be installed in the Windows CE emulation environment.";
inline constexpr char kTextReaderInUse[] =
    "Tesh\x99 Reader Setup was unable to update your Corvex Reader because it is currently in use. "
    "Please close the Tesh\x99 Reader on your Windows CE device and try again.";
inline constexpr char kTextReaderInUseRemove[] =
    "Tesh\x99 Reader Setup was unable to remove the Tesh\x99 Reader because it is currently in use. "
    "Please close the Tesh\x99 Reader on your Windows CE device and try again.";
inline constexpr char kTextSetupVersion[] = "Tesh\x99 Reader Setup Version 1.1";
// The device report when the device does not answer; the system's text follows.
inline constexpr char kTextDeviceUnreadable[] = "The device could not be read.";
inline constexpr char kTextDeviceReportFormat[] = "Processor: %d, Platform: %d, Major: %d, Minor: %d, Platform ID: %s";
inline constexpr char kTextBookOpenFailed[] = "Failed to open book";
inline constexpr char kTextTitleUnreadable[] = "Unable to read file title.";
// Book titles: the newspaper's own title (its display title adds the file
// name), and what a book whose header cannot be read is listed as.
inline constexpr char kTextNewspaperTitle[] = "The Wall Street Journal";
inline constexpr char kTextTitleUnavailable[] = "Title Unavailable";
// Chosen books whose titles no file in the folder carries any more: the
// titles follow, one a line, then how many more.
inline constexpr char kTextBooksGone[] = "These chosen books are no longer in the book folder:";
inline constexpr char kTextMoreBooksGoneFormat[] = "and %d more.";
// The open-file dialog of the book page: its title and filter pairs.
inline constexpr char kTextBookBrowserTitle[] = "Book Browser";
inline constexpr char kTextBookBrowserFilter[] = "Book\0*.VBK\0All\0*.*\0";
// Shown when the system has no text of its own for an error code.
inline constexpr char kTextUnknownErrorFormat[] = "Error %lu (0x%08lX).";

// Progress window lines written by a file copy.
inline constexpr char kTextCopyingFrom[] = "Copying from host file";
inline constexpr char kTextCopyingTo[] = "to device file";

// Install Book: the storage page's main memory entry, and a book the
// transfer could not copy (its name, then the system's text).
inline constexpr char kTextMainMemory[] = "Main Memory";
// Books that need more room than the chosen location has: the room needed,
// the location's name, its free room. Said before anything is copied.
inline constexpr char kTextBooksDoNotFitFormat[] =
    "The chosen books need %s on %s, which has %s free. Choose fewer books or another storage location.";
inline constexpr char kTextBookNotCopiedFormat[] = "%s was not copied to the device.";
// A book whose old copy was deleted but whose new copy could not take its
// name (book, book folder, temporary name); a book folder that is gone.
inline constexpr char kTextBookKeptFormat[] =
    "%s was not copied to the device. Its complete copy waits on the device as %s%s. "
    "The books after it were not copied.";
// In place of the completion dialog when chosen books are not on the
// device: how many of how many.
inline constexpr char kTextBooksNotInstalledFormat[] = "%d of %d books could not be installed on the device.";
inline constexpr char kTextBookFolderGoneFormat[] = "No books were copied from the folder %s.";
// The device disconnected during Install Book, said in one box: what was
// going on (a book's name, or the step before the books), how many chosen
// books are not on the device, and what to do.
inline constexpr char kTextLinkLostCopyingBookFormat[] = "The device was disconnected while %s was being copied.";
inline constexpr char kTextLinkLostBeforeBooks[] = "The device was disconnected before the books were copied.";
inline constexpr char kTextLinkLostInstallingReader[] =
    "The device was disconnected while the reader was being installed.";
inline constexpr char kTextBooksNotOnDeviceFormat[] = "%d of %d chosen books are not on the device.";
inline constexpr char kTextDockAgainForBooks[] =
    "Dock the device again and choose Install Book again: books already on the device are not copied again.";
// The device disconnected during Install Reader, Update Reader or Remove Reader.
inline constexpr char kTextDockAgainForReader[] =
    "Dock the device again and choose Install Reader or Update Reader again.";
inline constexpr char kTextLinkLostRemovingReader[] =
    "The device was disconnected while the reader was being removed. "
    "Dock the device again and choose Remove Reader again.";
// The chosen storage card is no longer in the device: its name (a length
// and the text it is taken from).
inline constexpr char kTextCardGoneFormat[] =
    "The storage card \"%.*s\" is no longer in the device. Insert it and choose Install Book again, "
    "or choose Main Memory.";
// Books that found no room at the chosen location while they were copied
// (its room could not be checked first, or the device had less than it
// said), told once after the transfer: the location (a card's name as a
// length and the text it is taken from), which books, and what to do.
inline constexpr char kTextCardFullFormat[] =
    "The storage card \"%.*s\" is full: %s. Make room on the card, or choose Main Memory.";
inline constexpr char kTextMainMemoryFullFormat[] =
    "Main memory is full: %s. Make room in main memory, or choose a storage card if the device has one.";
inline constexpr char kTextOneBookNotCopiedFormat[] = "%s was not copied";
inline constexpr char kTextTwoBooksNotCopiedFormat[] = "%s and 1 more book were not copied";
inline constexpr char kTextBooksNotCopiedFormat[] = "%s and %d more books were not copied";
// A storage location chosen on the page whose name cannot be read back.
inline constexpr char kTextStorageNameUnreadable[] =
    "The name of the chosen storage location could not be read. Please choose a location again.";

// Reader installation status lines.
inline constexpr char kTextDeterminingProcessor[] = "Determining Processor Type...";
inline constexpr char kTextDeterminingVersion[] = "Determining Windows CE Version...";
inline constexpr char kTextCreatingDirectory[] = "Creating Program Directory...";
inline constexpr char kTextInstallingReader[] = "Installing Latest Version of the Tesh Reader...";
inline constexpr char kTextCreatingShortcuts[] = "Creating Shortcuts...";

// Reader removal status lines.
inline constexpr char kTextShuttingDown[] = "Shutting down Tesh Reader...";
inline constexpr char kTextRemovingFiles[] = "Removing program files...";
inline constexpr char kTextRemovingDirectory[] = "Removing program directory...";
inline constexpr char kTextRemovingShortcuts[] = "Removing shortcuts...";
inline constexpr char kTextItemHelper[] = "tarnlib.dll";
inline constexpr char kTextItemReader[] = "Tesh Reader.exe";
inline constexpr char kTextItemInstallFolder[] = "\\Program Files\\Corvex Press";
inline constexpr char kTextFromStartMenu[] = "From Start Menu...";
inline constexpr char kTextFromDesktop[] = "From Desktop...";

// The device install layout (UTF-16 device paths and names).
inline constexpr wchar_t kDeviceProgramFiles[] = L"\\Program Files";
inline constexpr wchar_t kDeviceInstallFolder[] = L"\\Program Files\\Corvex Press";
inline constexpr wchar_t kDeviceReaderPath[] = L"\\Program Files\\Corvex Press\\Tesh Reader.exe";
inline constexpr wchar_t kDeviceHelperPath[] = L"\\Program Files\\Corvex Press\\tarnlib.dll";
inline constexpr wchar_t kDeviceOldReaderPath[] = L"\\Program Files\\Corvex Press\\Corvex Reader.exe";
inline constexpr wchar_t kDeviceOldStatePath[] = L"\\Program Files\\Corvex Press\\Corvex Reader.exe.state";
// The temporary file a copy into the install folder writes beside its
// target (devicefiles/file_copy.cpp); a copy that broke off leaves it.
inline constexpr wchar_t kDeviceInstallTemporaryPath[] = L"\\Program Files\\Corvex Press\\~tesh.tmp";
inline constexpr wchar_t kShortcutReader[] = L"\\Tesh\u2122 Reader";
inline constexpr wchar_t kShortcutOldReader[] = L"\\Corvex Reader";
inline constexpr wchar_t kReaderWindowClass[] = L"READER";
inline constexpr wchar_t kReaderWindowTitle[] = L"Tesh\u2122 Reader";
inline constexpr wchar_t kOldReaderWindowTitle[] = L"Corvex Reader";
inline constexpr wchar_t kCloseAppFunction[] = L"CloseApp";

// The same install paths as ANSI text, for the file copy.
inline constexpr char kDeviceReaderPathAnsi[] = "\\Program Files\\Corvex Press\\Tesh Reader.exe";
inline constexpr char kDeviceHelperPathAnsi[] = "\\Program Files\\Corvex Press\\tarnlib.dll";

// The device registry value that names the platform.
inline constexpr wchar_t kIdentKey[] = L"Ident";
inline constexpr wchar_t kOrigNameValue[] = L"OrigName";
