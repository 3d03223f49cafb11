// veskacure-offline's Windows-free SYSTEM.INI edit, the guard around work on
// a mapped file that shrinks meanwhile, and the in-place write of a hive.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "offline/hives.h"
#include "offline/ini_edit.h"
#include "offline/posix_file.h"

namespace {

// The file after a repair, or "" when the entry holds no loader.
std::string repaired(const std::string &ini)
{
    const ShellEntry entry = find_shell_entry(ini);
    return shell_entry_names_loader(entry) ? repair_shell_entry(ini, entry) : "";
}

int memory_file(const std::string &bytes)
{
    const int fd = memfd_create("bytes", MFD_CLOEXEC);
    if (fd >= 0 && pwrite(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
        return -1;
    return fd;
}

std::string bytes_of(int fd)
{
    std::string bytes(static_cast<size_t>(lseek(fd, 0, SEEK_END)), '\0');
    return pread(fd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size()) ? bytes : "?";
}

}  // namespace

TEST(IniEdit, OnlyTheShellLineOfBootChanges)
{
    EXPECT_EQ(repaired("; set up\r\n[386Enh]\r\nshell=load.exe\r\n[Boot]\r\n  Shell = explorer.exe load.exe"
                       " -dontrunold \t\r\nother=1\r\n[drivers]\r\n"),
              "; set up\r\n[386Enh]\r\nshell=load.exe\r\n[Boot]\r\nshell=Explorer.exe\r\nother=1\r\n[drivers]\r\n");
    EXPECT_EQ(repaired("[boot]\nshell=c:\\tools\\download.exe\n"), "[boot]\nshell=Explorer.exe\n");
    EXPECT_EQ(repaired("\xEF\xBB\xBF[BOOT]\nSHELL=load.exe"), "\xEF\xBB\xBF[BOOT]\nshell=Explorer.exe");
    EXPECT_EQ(repaired("[bootx]\nshell=load.exe\n[boot]\nshell=load.exe"), "[bootx]\nshell=load.exe\n[boot]\nshell=Explorer.exe");

    const ShellEntry entry = find_shell_entry("[boot]\r\n shell =  explorer.exe load.exe  \r\n");
    EXPECT_TRUE(entry.present);
    EXPECT_EQ(entry.line_begin, 8u);
    EXPECT_EQ(entry.line_end, 41u);
    EXPECT_EQ(entry.value, "explorer.exe load.exe");
}

TEST(IniEdit, EntriesTheProfileServiceWouldNotGiveAreLeftAlone)
{
    const char *untouched[] = {
        "[boot]\nother=load.exe\n[x]\nshell=load.exe\n",          // no shell key in [boot]
        "[boot]\nshell=explorer.exe LOAD.EXE\n",                  // marker in another case
        "[boot]\nshell=Explorer.exe\n[boot]\nshell=load.exe\n",   // only the first [boot] counts
        "[boot]\nshell=Explorer.exe\nshell=load.exe\n",           // and its first shell key
        "[boot]\nshell\nshell=load.exe\n",                        // a key without a value is one
        "[boot\nshell=load.exe\n",                                // no section header
        "shell=load.exe\n[boot]\n",
        "",
    };
    for (const char *ini : untouched)
        EXPECT_EQ(repaired(ini), "") << ini;
    EXPECT_FALSE(find_shell_entry("[boot]\nx=1").present);
    // At most 259 characters of the value are read.
    EXPECT_NE(repaired("[boot]\nshell=" + std::string(251, 'x') + "load.exe"), "");
    EXPECT_EQ(repaired("[boot]\nshell=" + std::string(252, 'x') + "load.exe"), "");
    EXPECT_EQ(repaired(std::string("[boot]\nshell=a\0load.exe", 23)), "");
}

// Reopening through an O_PATH descriptor.
TEST(ReopenPath, OpensTheInodeCheckedNotWhatItsNameLeadsToNow)
{
    char folder[] = "/tmp/reopen-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string name = std::string(folder) + "/a", other = std::string(folder) + "/b";
    const int checked = open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    const int swapped = open(other.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_TRUE(write(checked, "checked", 7) == 7 && write(swapped, "swapped", 7) == 7);
    const int path_fd = open(name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    ASSERT_EQ(rename(other.c_str(), name.c_str()), 0);
    for (int access : {O_RDONLY, O_RDWR}) {
        const int fd = reopen_path(path_fd, access | O_NOFOLLOW | O_CLOEXEC);
        char text[16] = {};
        EXPECT_TRUE(pread_exactly(fd, text, 7, 0));
        EXPECT_STREQ(text, "checked");
        EXPECT_FALSE(pread_exactly(fd, text, 8, 0));  // one byte past the end
        EXPECT_EQ(errno, 0);
        close(fd);
    }
    for (int fd : {path_fd, checked, swapped})
        close(fd);
    unlink(name.c_str());
    rmdir(folder);
}

TEST(MappedWork, AFileCutUnderAMappingIsAnAnswerNotACrash)
{
    const int fd = memfd_create("mapped", MFD_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 0x10000), 0);
    Mapping mapping;
    ASSERT_TRUE(mapping.map(fd, 0x1001, 0x8000, false));
    EXPECT_EQ(mapping.data()[0], 0);
    struct Read {
        const uint8_t *at;
        uint8_t value;
    } read = {mapping.data() + 0x7FFF, 1};
    auto read_byte = [](void *arg) { static_cast<Read *>(arg)->value = *static_cast<Read *>(arg)->at; };
    EXPECT_TRUE(run_mapped_work(read_byte, &read));
    EXPECT_EQ(read.value, 0);
    ASSERT_EQ(ftruncate(fd, 0x2000), 0);
    EXPECT_FALSE(run_mapped_work(read_byte, &read));
    EXPECT_TRUE(mapping.unmap());
    close(fd);
}

TEST(HiveWrite, OverTheBytesReadOnly)
{
    const std::string before(600000, 'a');
    std::string grown = before + std::string(5000, 'c'), shrunk = before.substr(0, 500000);
    grown[300000] = shrunk[1] = 'b';
    UniqueFd read(memory_file(before)), repaired(memory_file(grown)), cut(memory_file(shrunk));
    // Another program's change since the read, anywhere, in the bytes or the length: nothing is written.
    for (const std::string &changed : {before.substr(0, 599999) + "x", before + "x", before.substr(1)}) {
        UniqueFd file(memory_file(changed));
        std::string error;
        EXPECT_FALSE(write_hive(file.get(), HiveEdit{read.get(), before.size(), repaired.get(), grown.size()}, &error));
        EXPECT_EQ(error, "changed while cleaning");
        EXPECT_EQ(bytes_of(file.get()), changed);
    }
    UniqueFd file(memory_file(before));
    std::string error;
    EXPECT_TRUE(write_hive(file.get(), HiveEdit{read.get(), before.size(), repaired.get(), grown.size()}, &error));
    EXPECT_EQ(bytes_of(file.get()), grown);
    UniqueFd again(memory_file(before));
    EXPECT_TRUE(write_hive(again.get(), HiveEdit{read.get(), before.size(), cut.get(), shrunk.size()}, &error));
    EXPECT_EQ(bytes_of(again.get()), shrunk);
}
