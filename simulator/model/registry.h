// The device's registry as data: keys named by their full path from a root
// ("HKEY_LOCAL_MACHINE\Ident"), each with its values, kept in the image as
// registry.txt. Names compare without regard to case. This file knows no
// session, handle or fault: model/device_registry.cpp puts the calls on
// top of it.
//
// registry.txt, UTF-8, one key a line (its full path), each value of the
// key on a line of its own below it, after a tab:
//   HKEY_LOCAL_MACHINE\Ident
//   	OrigName	1	text:Pocket_PC
//   	Flags	4	dword:1
//   	Blob	3	hex:0102ab
// The type is the value's registry type as a number; the data is "text:"
// for a string that ends in its terminator (the terminator not written),
// "dword:" for four bytes of a REG_DWORD, and "hex:" for anything else.
// A tab, line break or "%" in a name or text is written as %09, %0A, %0D
// or %25.
#pragma once

#include <windows.h>
#include <stdint.h>

#include <map>
#include <string>
#include <vector>

struct RegistryValue {
    std::wstring name;  // "" is the key's default value
    DWORD type = 0;
    std::vector<uint8_t> data;
};

class Registry {
public:
    // The root of a predefined key handle (HKEY_CLASSES_ROOT ... HKEY_USERS),
    // or nullptr for any other number.
    static const wchar_t *RootName(uint32_t root);
    // Longest key or value name part, in characters.
    static const size_t kMaxNameChars = 255;
    // Most bytes one value holds.
    static const size_t kMaxValueBytes = 65536;

    // base + "\" + subKey, the sub key's leading and trailing separators
    // dropped; 0, or ERROR_INVALID_PARAMETER for an empty or too long part.
    static DWORD JoinPath(const std::wstring &base, const std::wstring &subKey, std::wstring *path);
    // "HKEY_LOCAL_MACHINE\Ident" -> "HKEY_LOCAL_MACHINE" and "Ident".
    static void SplitPath(const std::wstring &path, std::wstring *parent, std::wstring *name);

    // A root always exists.
    bool HasKey(const std::wstring &path) const;
    // Creates the key and any missing key above it; *created tells whether
    // the key itself was new.
    void CreateKey(const std::wstring &path, bool *created);
    // Removes the key with its values (not its sub keys: the caller checks).
    void DeleteKey(const std::wstring &path);
    // The names of the key's direct sub keys, sorted without regard to case.
    std::vector<std::wstring> SubKeys(const std::wstring &path) const;
    // The key's values in the order they were first set.
    std::vector<RegistryValue> Values(const std::wstring &path) const;
    const RegistryValue *FindValue(const std::wstring &path, const std::wstring &name) const;
    void SetValue(const std::wstring &path, const RegistryValue &value);
    bool DeleteValue(const std::wstring &path, const std::wstring &name);

    std::string Serialize() const;
    // Lines that do not read are skipped: a damaged line costs that key or
    // value only.
    void Parse(const std::string &text);
    bool Empty() const { return keys_.empty(); }

private:
    struct Key {
        std::wstring path;
        std::vector<RegistryValue> values;
    };
    std::map<std::wstring, Key> keys_;  // by CaseKey(path); roots are implied
};

// A value of type REG_SZ holding text (with its terminator), and one of
// type REG_DWORD.
RegistryValue TextValue(const std::wstring &name, const std::wstring &text);
RegistryValue DwordValue(const std::wstring &name, uint32_t number);
// Data written as registry.txt writes it ("text:...", "dword:N",
// "hex:..."): its bytes into value->data; false when it does not read.
bool ParseValueData(const std::string &text, RegistryValue *value);
// A value as a log line or listing shows it: a quoted text, "dword N",
// or its type and size.
std::string DescribeValue(const RegistryValue &value);
// The text of a REG_SZ value's data up to its terminator.
std::wstring ValueText(const std::vector<uint8_t> &data);
