// The registry: semantics of the calls, and the store shared by the processes of a machine.

#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "standin/win32/registry_admin.h"
#include "standin/win32/testing.h"
#include "test_support.h"
#include "win32/windows.h"

namespace {

constexpr const char* kSettings = "SOFTWARE\\Vexa\\VQ36";

HKEY createKey(HKEY root, const char* path, REGSAM access = KEY_ALL_ACCESS) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    EXPECT_EQ(RegCreateKeyExA(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr,
                              &key, &disposition),
              ERROR_SUCCESS)
        << path;
    return key;
}

void setDword(HKEY key, const char* name, DWORD value) {
    ASSERT_EQ(RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4),
              ERROR_SUCCESS);
}

class Registry : public ::testing::Test {
  protected:
    standin::win32::ScopedFreshMachine machine;
};

TEST_F(Registry, QueryReportsSizeTypeAndShortBuffers) {
    HKEY key = createKey(HKEY_CURRENT_USER, kSettings);
    const char text[] = "c:\\Program Files\\Vexa";
    ASSERT_EQ(RegSetValueExA(key, "InstallPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                             sizeof text),
              ERROR_SUCCESS);

    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "installpath", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, sizeof text);

    char buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    size = sizeof buffer;
    EXPECT_EQ(RegQueryValueExA(key, "InstallPath", nullptr, &type, reinterpret_cast<BYTE*>(buffer),
                               &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, sizeof text);
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(8, 'x'));  // untouched

    char big[64];
    size = sizeof big;
    EXPECT_EQ(
        RegQueryValueExA(key, "INSTALLPATH", nullptr, nullptr, reinterpret_cast<BYTE*>(big), &size),
        ERROR_SUCCESS);
    EXPECT_STREQ(big, text);

    EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, &type, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(key, "InstallPath", nullptr, nullptr, reinterpret_cast<BYTE*>(big),
                               nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

TEST_F(Registry, TypesDefaultValueAndReplacement) {
    HKEY key = createKey(HKEY_CURRENT_USER, kSettings);
    setDword(key, "BufferSizeMillisecs", 12);
    const BYTE blob[3] = {1, 2, 3};
    ASSERT_EQ(RegSetValueExA(key, "Blob", 0, REG_BINARY, blob, sizeof blob), ERROR_SUCCESS);
    ASSERT_EQ(
        RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>("Vexa VQ36"), 9),
        ERROR_SUCCESS);  // the default value, stored without a terminator

    DWORD type = 0, value = 0, size = 4;
    EXPECT_EQ(RegQueryValueExA(key, "buffersizemillisecs", nullptr, &type,
                               reinterpret_cast<BYTE*>(&value), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(value, 12u);

    char text[16] = {};
    size = sizeof text;
    EXPECT_EQ(RegQueryValueExA(key, "", nullptr, &type, reinterpret_cast<BYTE*>(text), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 9u);
    EXPECT_STREQ(text, "Vexa VQ36");

    // Replacing a value changes its type and data; its name keeps its first spelling.
    ASSERT_EQ(RegSetValueExA(key, "BLOB", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4),
              ERROR_SUCCESS);
    std::vector<standin::win32::RegistryValue> values;
    ASSERT_EQ(standin::win32::listRegistryValues(key, &values), ERROR_SUCCESS);
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(values[0].name, "");
    EXPECT_EQ(values[1].name, "Blob");
    EXPECT_EQ(values[1].type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(values[2].name, "BufferSizeMillisecs");

    EXPECT_EQ(RegDeleteValueA(key, "blob"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key, "blob"), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST_F(Registry, OpenCreateAndAccessRights) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kSettings, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kSettings, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                              &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    RegCloseKey(key);
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "software\\vexa\\vq36", 0, nullptr, 0, KEY_WRITE,
                              nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    RegCloseKey(key);

    // A key opened for reading cannot be written, and one opened for writing cannot be read.
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kSettings, 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD value = 3;
    EXPECT_EQ(RegSetValueExA(key, "X", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4),
              ERROR_ACCESS_DENIED);
    RegCloseKey(key);
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kSettings, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, "X", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4),
              ERROR_SUCCESS);
    DWORD size = 4;
    EXPECT_EQ(RegQueryValueExA(key, "X", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
              ERROR_ACCESS_DENIED);
    RegCloseKey(key);
}

TEST_F(Registry, EnumerateAndDeleteKeys) {
    HKEY asio = createKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO");
    RegCloseKey(createKey(asio, "Vexa VQ36"));
    RegCloseKey(createKey(asio, "ASIO4ALL v2"));
    RegCloseKey(createKey(asio, "vexa VQ36\\Sub"));

    std::vector<std::string> names;
    char name[64];
    DWORD i = 0;
    for (;; ++i) {
        DWORD length = sizeof name;
        LONG rc = RegEnumKeyExA(asio, i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(rc, ERROR_SUCCESS);
        EXPECT_EQ(length, std::strlen(name));
        names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"ASIO4ALL v2", "Vexa VQ36"}));
    DWORD shortLength = 4;
    EXPECT_EQ(RegEnumKeyExA(asio, 0, name, &shortLength, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);

    // A key with subkeys stays; its deepest key goes first.
    EXPECT_EQ(RegDeleteKeyA(asio, "Vexa VQ36"), ERROR_ACCESS_DENIED);
    HKEY sub = nullptr;
    ASSERT_EQ(RegOpenKeyExA(asio, "Vexa VQ36\\Sub", 0, KEY_ALL_ACCESS, &sub), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(asio, "VEXA VQ36\\SUB"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(asio, "Vexa VQ36"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(asio, "Vexa VQ36"), ERROR_FILE_NOT_FOUND);
    // A handle to a deleted key stays a handle, to a key marked for deletion.
    DWORD value = 1;
    EXPECT_EQ(RegSetValueExA(sub, "X", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(sub), ERROR_SUCCESS);
    // The roots and the class registrations cannot be deleted.
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes"), ERROR_ACCESS_DENIED);
    RegCloseKey(asio);
}

TEST_F(Registry, ClassesRootIsTheMachinesClassRegistrations) {
    HKEY clsid = createKey(HKEY_CLASSES_ROOT, "CLSID\\{A3C9E217-6F4B-4D8A-9E05-2B71C84D6F3A}");
    RegCloseKey(clsid);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                            "SOFTWARE\\Classes\\CLSID\\{a3c9e217-6f4b-4d8a-9e05-2b71c84d6f3a}", 0,
                            KEY_READ, &key),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(Registry, SharedByProcessesWritingAtOnce) {
    constexpr int kValues = 150;
    HKEY key = createKey(HKEY_CURRENT_USER, kSettings);
    setDword(key, "Before", 1);  // the parent's connection is open when it forks
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        HKEY k = nullptr;
        bool ok =
            RegOpenKeyExA(HKEY_CURRENT_USER, kSettings, 0, KEY_ALL_ACCESS, &k) == ERROR_SUCCESS;
        for (DWORD i = 0; ok && i < kValues; ++i) {
            std::string name = "child" + std::to_string(i);
            ok = RegSetValueExA(k, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&i),
                                4) == ERROR_SUCCESS;
        }
        _exit(ok ? 0 : 1);
    }
    for (DWORD i = 0; i < kValues; ++i) setDword(key, ("parent" + std::to_string(i)).c_str(), i);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    for (DWORD i = 0; i < kValues; ++i) {
        DWORD value = 0xFFFF, size = 4;
        ASSERT_EQ(RegQueryValueExA(key, ("child" + std::to_string(i)).c_str(), nullptr, nullptr,
                                   reinterpret_cast<BYTE*>(&value), &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(value, i);
    }
    std::vector<standin::win32::RegistryValue> values;
    ASSERT_EQ(standin::win32::listRegistryValues(key, &values), ERROR_SUCCESS);
    EXPECT_EQ(values.size(), 2u * kValues + 1);
    RegCloseKey(key);
}

TEST_F(Registry, ProcessKilledInTheMiddleOfWritesLeavesWholeValues) {
    constexpr DWORD kSize = 4096;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        HKEY k = createKey(HKEY_CURRENT_USER, "Stress");
        std::vector<BYTE> data(kSize);
        for (DWORD i = 0;; ++i) {
            std::memset(data.data(), static_cast<int>(i & 0xFF), kSize);
            std::memcpy(data.data(), &i, 4);
            std::string name = std::string("v").append(std::to_string(i % 64));
            RegSetValueExA(k, name.c_str(), 0, REG_BINARY, data.data(), kSize);
            RegSetValueExA(k, "count", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&i), 4);
        }
    }
    // Let the child get well into its writes, then kill it without warning.
    DWORD count = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (count < 200 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        HKEY k = nullptr;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, "Stress", 0, KEY_READ, &k) != ERROR_SUCCESS) continue;
        DWORD size = 4;
        RegQueryValueExA(k, "count", nullptr, nullptr, reinterpret_cast<BYTE*>(&count), &size);
        RegCloseKey(k);
    }
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_GE(count, 200u);

    // The store opens, passes SQLite's own check, and holds whole values only.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(standin::win32::registryStorePath().c_str(), &db), SQLITE_OK);
    sqlite3_stmt* check = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok");
    sqlite3_finalize(check);
    sqlite3_close(db);

    HKEY k = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Stress", 0, KEY_READ, &k), ERROR_SUCCESS);
    std::vector<standin::win32::RegistryValue> values;
    ASSERT_EQ(standin::win32::listRegistryValues(k, &values), ERROR_SUCCESS);
    RegCloseKey(k);
    int blobs = 0;
    for (const auto& v : values) {
        if (v.name == "count") continue;
        ++blobs;
        ASSERT_EQ(v.data.size(), kSize) << v.name;
        DWORD i;
        std::memcpy(&i, v.data.data(), 4);
        EXPECT_EQ(std::string("v").append(std::to_string(i % 64)), v.name);
        for (DWORD b = 4; b < kSize; ++b)
            ASSERT_EQ(v.data[b], static_cast<BYTE>(i & 0xFF)) << v.name;
    }
    EXPECT_EQ(blobs, 64);
}

}  // namespace
