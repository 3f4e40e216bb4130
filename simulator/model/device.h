// The simulated Windows CE device: identity, registry, object store,
// storage cards, programs and faults, kept in an image folder on the host.
//
// Image folder layout:
//   device.txt   identity (profile, platform, version, processor, folders)
//   store\       the device's files and folders as plain host files
//   meta.txt     per item: attributes and the three file times, which the
//                host cannot keep exactly (creation times, temporary flag)
//   cards.txt    the storage cards inserted (root folders of the store)
//   cards\       the contents of removed cards, until they are inserted
//   running.txt  the programs running, with the window each one has
//   faults.txt   the faults in effect
//   registry.txt the registry's keys and values (model/registry.h)
// Every change is on disk before the call that made it returns: the text
// files are replaced as a whole (temporary file, then rename), so killing
// the service never leaves one half written.
//
// The model knows no wire format and no transport: its operations take
// device paths and plain numbers and give back a Result of its own. A
// protocol's translator (simulator/serve) decodes a request, takes Lock()
// for the whole request, calls the operations below, and encodes what they
// give back. One lock guards the whole model: the services call it from
// one thread per session, and tests read and change the image directly.
#pragma once

#include <windows.h>
#include <stdint.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "model/device_faults.h"
#include "model/registry.h"

struct DeviceStatus;

class Device {
public:
    using LogSink = std::function<void(const std::string &line)>;

    // The last error of a call that leaves the session's last error as it
    // was.
    static const DWORD kErrorUnchanged = 0xFFFFFFFFu;
    // The device's own HKEY_LOCAL_MACHINE, where its identity lives.
    static const uint32_t kRootLocalMachine = 0x80000002u;
    // The most one read of a file returns.
    static const uint32_t kMaxRead = 1u << 20;

    // Creates a new image folder from a built-in profile.
    static bool CreateImage(const std::wstring &image, const std::string &profile, std::string *error);
    // Loads an existing image; nullptr and a message when it cannot.
    static std::unique_ptr<Device> Load(const std::wstring &image, std::string *error);
    ~Device();
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    // Where each operation's log line goes (none by default).
    void SetLogSink(LogSink sink);
    // The image folder, as a full host path.
    const std::wstring &Image() const { return image_; }

    // Sessions: one per client connection. Closing one closes every handle
    // it left open.
    uint32_t OpenSession();
    void CloseSession(uint32_t session);

    // What the device tells a desktop on the control channel.
    struct Introduction {
        DWORD major = 0, minor = 0, build = 0, processor = 0;
        std::wstring name, platform, model;
        std::wstring password;  // the password fault; empty: none
        int remoteApi = 1;      // the generation of remote API it speaks (profiles.h)
        // With a password: the user unlocks the device on its own screen
        // this long after a desktop asks; -1: the desktop must send it.
        int64_t unlockAfterMs = -1;
    };
    Introduction Introduce();

    // Writes a line to the log (the services' own notes).
    void Note(const std::string &line);

    // Direct use by tests and cedevice.exe options. Paths are device paths.
    bool SetFault(const std::string &name, const std::string &value, std::string *error);
    bool InsertCard(const std::wstring &name, std::string *error);
    bool RemoveCard(const std::wstring &name, std::string *error);
    bool StartProgram(const std::wstring &path, std::string *error);
    // A program asked to close counts as running until it has ended.
    bool IsRunning(const std::wstring &path);
    // Handles of every kind (files, searches, keys, processes, threads) that
    // clients hold open now.
    size_t OpenHandleCount();
    bool Exists(const std::wstring &path);
    bool ReadContent(const std::wstring &path, std::string *content);
    // Creates or replaces a file (and any missing parent folders).
    bool WriteContent(const std::wstring &path, const std::string &content);
    bool MakeFolder(const std::wstring &path);
    DWORD Attributes(const std::wstring &path);
    bool Times(const std::wstring &path, FILETIME *creation, FILETIME *access, FILETIME *write);
    bool SetTimes(const std::wstring &path, const FILETIME &creation, const FILETIME &access,
                  const FILETIME &write);
    // A listing of everything on the device, for a user to read.
    std::string Describe();

    // ---- The operations of a request, for every protocol's translator ----
    // A translator holds Lock() from decoding a request to encoding its
    // answer, so one request never interleaves with another session's; each
    // operation below needs it held. Handles are numbers of the session
    // that opened them; another session's handle is an invalid handle.

    struct Item {
        bool exists = false;
        bool directory = false;
        DWORD attributes = 0;
        uint64_t creation = 0, access = 0, write = 0;
        uint64_t size = 0;
    };
    // One entry of a search.
    struct FoundEntry {
        Item item;
        std::wstring name;
        DWORD oid = 0;
    };
    enum class Kind { kFile, kSearch, kKey, kProcess, kThread };
    // What CeCreateProcess gives its caller: the device's ids, and a
    // process and a thread handle in the caller's session.
    struct Started {
        uint32_t processId = 0, threadId = 0;
        uint32_t process = 0, thread = 0;
    };
    // The version the device reports (its faults may change it).
    struct Version {
        DWORD major = 0, minor = 0, build = 0;
        DWORD refused = 0;  // the error of a device that refuses to say (refuse_version)
    };
    // What a call did: success, the last error it leaves in the session
    // (kErrorUnchanged: none), and its result for the log line.
    struct Result {
        bool ok = true;
        DWORD lastError = kErrorUnchanged;
        std::string note;
    };
    static Result Fail(DWORD error);
    static Result Done(const std::string &note);

    std::unique_lock<std::mutex> Lock() { return std::unique_lock<std::mutex>(mutex_); }
    // Writes a line to the log, the lock held.
    void Log(const std::string &line);
    // Ends the programs whose close delay has run out; a translator calls
    // it before each request, so they end in their own time between them.
    void EndClosedPrograms();
    // Counts one device operation towards the drop_after_calls fault; true
    // when the link is to drop now instead of answering it (`prefix` starts
    // the log line).
    bool DropPlanned(const std::string &prefix);
    // The session's last error after a call: the one the call leaves, or
    // the one before it when it leaves none (what the device's
    // GetLastError would say).
    DWORD SessionLastError(uint32_t session, const Result &result);
    // What a handle refers to, for a log line: false when there is none.
    bool HandleTarget(uint32_t id, Kind *kind, std::wstring *path) const;

    // Files.
    Result DoCreateFile(uint32_t session, const std::wstring &path, DWORD access, DWORD share, DWORD disposition,
                        DWORD flags, uint32_t *handle);
    // At most kMaxRead bytes, however many are asked for.
    Result DoReadFile(uint32_t session, uint32_t id, uint32_t count, std::vector<uint8_t> *data);
    // drop: the drop_in_write fault cut the link in the middle of it.
    Result DoWriteFile(uint32_t session, uint32_t id, const uint8_t *data, uint32_t count, uint32_t *written,
                       bool *drop);
    Result DoSetFilePointer(uint32_t session, uint32_t id, int64_t distance, DWORD method, int64_t *position);
    Result DoGetFileSize(uint32_t session, uint32_t id, uint64_t *size);
    // times: creation, last access, last write.
    Result DoGetFileTime(uint32_t session, uint32_t id, uint64_t times[3]);
    // which: 1 creation, 2 last access, 4 last write.
    Result DoSetFileTime(uint32_t session, uint32_t id, uint32_t which, const uint64_t times[3]);
    // Closes a handle of any kind.
    Result DoCloseHandle(uint32_t session, uint32_t id);
    Result DoDeleteFile(const std::wstring &path);
    Result DoMoveFile(const std::wstring &source, const std::wstring &target);
    Result DoGetFileAttributes(const std::wstring &path, DWORD *attributes);
    Result DoSetFileAttributes(const std::wstring &path, DWORD attributes);
    // Folders and searches.
    Result DoCreateDirectory(const std::wstring &path);
    Result DoRemoveDirectory(const std::wstring &path);
    Result DoFindFirstFile(uint32_t session, const std::wstring &pattern, uint32_t *handle, FoundEntry *first);
    Result DoFindNextFile(uint32_t session, uint32_t id, FoundEntry *entry);
    Result DoFindClose(uint32_t session, uint32_t id) { return DoCloseOfKind(session, id, Kind::kSearch); }
    // What a whole listing leaves out, as flags of DoFindAllFiles (their
    // values are those of CeFindAllFiles' flags).
    static const uint32_t kListFoldersWithChildren = 0x1000;  // only folders that hold something
    static const uint32_t kListNoHidden = 0x2000;
    static const uint32_t kListFoldersOnly = 0x4000;
    static const uint32_t kListNoRomModules = 0x8000;
    // Everything in one folder that matches the pattern's last part, at
    // once, less what the kList... flags leave out.
    Result DoFindAllFiles(const std::wstring &pattern, uint32_t flags, std::vector<FoundEntry> *entries);
    // The entries of a folder (a canonical device path) that match pattern.
    std::vector<FoundEntry> ListFolder(const std::wstring &canonical, const std::wstring &pattern);
    // The registry (model/device_registry.cpp). A key argument is one of
    // the four predefined roots (0x80000000 to 0x80000003) or a key the
    // session opened; results are the registry's error codes.
    Result DoRegOpenKey(uint32_t session, uint32_t parent, const std::wstring &subKey, uint32_t *key);
    // disposition: 1 a new key was made, 2 an existing one opened.
    Result DoRegCreateKey(uint32_t session, uint32_t parent, const std::wstring &subKey, uint32_t *key,
                          DWORD *disposition);
    // Without data wanted, or with a buffer of 0 bytes: the type and size.
    // A buffer too small for the value: 234, with the type and size.
    Result DoRegQueryValue(uint32_t session, uint32_t key, const std::wstring &name, bool wantData,
                           uint32_t bufferSize, DWORD *type, std::vector<uint8_t> *data, uint32_t *size);
    Result DoRegSetValue(uint32_t session, uint32_t key, const std::wstring &name, DWORD type, const uint8_t *data,
                         uint32_t size);
    Result DoRegDeleteValue(uint32_t session, uint32_t key, const std::wstring &name);
    // Refused (5) for a key with sub keys or one any session holds open.
    Result DoRegDeleteKey(uint32_t session, uint32_t parent, const std::wstring &subKey);
    // The index-th sub key; its name with a terminator must fit nameRoom
    // characters (234). Past the last: 259.
    Result DoRegEnumKey(uint32_t session, uint32_t key, uint32_t index, uint32_t nameRoom, std::wstring *name);
    // The index-th value: its name as DoRegEnumKey's, its data as
    // DoRegQueryValue's.
    Result DoRegEnumValue(uint32_t session, uint32_t key, uint32_t index, uint32_t nameRoom, bool wantData,
                          uint32_t dataRoom, std::wstring *name, DWORD *type, std::vector<uint8_t> *data,
                          uint32_t *size);
    Result DoRegCloseKey(uint32_t session, uint32_t key) { return DoCloseOfKind(session, key, Kind::kKey); }
    // The system: version, processor, the profile's figures, folders.
    Version DoGetVersion() const;
    DWORD DoGetProcessor() const;
    const DeviceStatus &DoGetStatus() const;
    // The refuse_startup fault: the device refuses every connection.
    bool RefusesStartup() const { return faults_.refuseStartup; }
    Result DoGetSpecialFolder(int32_t folder, std::wstring *path);
    // Programs, shortcuts and the device's own functions.
    Result DoCreateShortcut(const std::wstring &shortcut, const std::wstring &target);
    Result DoCreateProcess(uint32_t session, const std::wstring &image, Started *started);
    Result DoInvoke(const std::wstring &library, const std::wstring &function, const uint8_t *input,
                    uint32_t inputSize, int32_t *returned, std::vector<uint8_t> *output);
    // The room of main memory, and of the store that holds folder: a card
    // with a capacity of its own, another card (the host disk's room), or
    // main memory.
    Result DoGetStoreInformation(uint64_t *size, uint64_t *free);
    Result DoGetDiskFreeSpace(const std::wstring &folder, uint64_t *free, uint64_t *total);
    // What a person does to the device, asked for through a service.
    bool SetFaultLocked(const std::string &name, const std::string &value, std::string *error);
    bool InsertCardLocked(const std::wstring &name, std::string *error);
    bool RemoveCardLocked(const std::wstring &name, std::string *error);
    // A person's change to the registry (cedevice.exe): "KEY\\NAME=DATA" sets
    // a value, DATA as registry.txt writes it (text:, dword: or hex:, which
    // give REG_SZ, REG_DWORD or REG_BINARY), making the key if need be; a
    // path alone deletes the value it names, or else the key. KEY starts
    // with a root's name or HKLM, HKCU, HKCR, HKU.
    bool ChangeRegistry(bool set, const std::wstring &change, std::string *error);
    bool ChangeRegistryLocked(bool set, const std::wstring &change, std::string *error);
    // Starts a program by hand, with no caller's handles.
    Result DoCreateProcess(const std::wstring &image, uint32_t *processId);

private:
    struct Identity {
        std::string profile;
        std::wstring platform;
        DWORD major = 0, minor = 0, build = 0, processor = 0;
        std::wstring programs, desktop;
    };
    struct Record {
        std::wstring path;
        DWORD attributes = 0;
        uint64_t creation = 0, access = 0, write = 0;
    };
    struct Handle {
        uint32_t session = 0;
        Kind kind = Kind::kFile;
        std::wstring path;  // canonical device path (file) or pattern (search)
        HANDLE host = INVALID_HANDLE_VALUE;
        DWORD access = 0, share = 0;
        bool wrote = false;        // written since the times were last set
        uint64_t writeTime = 0;    // time of the latest write
        bool gone = false;         // its card was pulled out
        std::vector<FoundEntry> found;
        size_t next = 0;
    };
    struct Program {
        std::wstring path;
        std::wstring windowClass, title;
        uint32_t processId = 0;
        // Tick count (GetTickCount64) at which a program asked to close
        // has ended; 0 while nothing asked it to.
        uint64_t endsAt = 0;
    };

    Device() = default;
    // Image files.
    std::wstring ImageFile(const wchar_t *name) const;
    std::wstring HostPath(const std::wstring &canonical) const;
    bool LoadIdentity(std::string *error);
    void LoadRecords();
    void LoadCards();
    void LoadRunning();
    void LoadFaults();
    void SaveRecords();
    void SaveCards();
    void SaveRunning();
    void SaveFaults();
    void LoadRegistry();
    void SaveRegistry();
    // The keys and values a new device of the image's profile starts with.
    void SeedRegistry();

    // The object store.
    Item LookUp(const std::wstring &canonical);
    DWORD MissingError(const std::wstring &canonical);
    bool IsCardRoot(const std::wstring &canonical) const;
    bool IsOpen(const std::wstring &canonical) const;
    bool IsRunningLocked(const std::wstring &canonical) const;
    bool ShareConflict(const std::wstring &canonical, DWORD access, DWORD share) const;
    void SetRecord(const std::wstring &canonical, DWORD attributes, uint64_t creation, uint64_t access,
                   uint64_t write);
    void ForgetRecord(const std::wstring &canonical);
    void MoveRecords(const std::wstring &from, const std::wstring &to);
    DWORD FolderMoveRefusal(const std::wstring &from, const std::wstring &to);
    uint64_t UsedBytes();
    Handle *FindHandle(uint32_t session, uint32_t id, Kind kind, DWORD *error);
    void CloseHandleLocked(uint32_t id);
    // Closes a handle of the session when it is of that kind.
    Result DoCloseOfKind(uint32_t session, uint32_t id, Kind kind);
    uint32_t NewHandle(Handle handle);
    bool EnsureFolders(const std::wstring &canonical);

    // The registry: a key argument's path (0 or the error), the values a
    // key shows with the faults applied, and whether a key is hidden.
    DWORD KeyPath(uint32_t session, uint32_t key, std::wstring *path);
    std::vector<RegistryValue> ShownValues(const std::wstring &path) const;
    bool KeyHidden(const std::wstring &path) const;
    bool KeyInUse(const std::wstring &path) const;
    std::string DescribeRegistry();

    Result DoStartProgram(const std::wstring &canonical, uint32_t *processId);
    Result FindProgram(const std::wstring &image, std::wstring *canonical);
    // The capacity of the card that holds canonical; -1 when it is on no
    // card or on one without a capacity of its own.
    int64_t CardCapacityOf(const std::wstring &canonical);
    // True when canonical lies on a storage card, a store apart from main
    // memory.
    bool IsOnCard(const std::wstring &canonical);
    uint64_t CardUsedBytes(const std::wstring &canonical);
    // True when growth more bytes fit in the store that holds canonical.
    bool HasRoomFor(const std::wstring &canonical, uint64_t growth);
    uint64_t MainMemoryCapacity() const;
    DWORD ResolvePattern(const std::wstring &pattern, std::wstring *canonical, std::wstring *folder,
                         std::wstring *name);

    std::mutex mutex_;
    std::wstring image_;      // full host path of the image folder
    std::wstring storeRoot_;  // host path of store\, with the \\?\ prefix
    LogSink sink_;
    Identity identity_;
    DeviceFaults faults_;
    std::map<std::wstring, Record> records_;  // by CaseKey(canonical path)
    Registry registry_;
    std::vector<std::wstring> cards_;
    std::vector<Program> running_;
    std::map<uint32_t, Handle> handles_;
    std::map<uint32_t, DWORD> sessions_;  // each open session's last error
    uint32_t nextHandle_ = 0x1000;
    uint32_t nextSession_ = 1;
    uint32_t nextProcessId_ = 0x0E000100;
    bool usedKnown_ = false;
    uint64_t used_ = 0;
};
