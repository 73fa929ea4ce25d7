// The POSIX listing through the platform layer, on real directories.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/capability.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>

#include "platform/platform.h"

namespace fs = std::filesystem;
namespace platform = scythe::platform;

namespace {

class Listing : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "scythe-listing-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(root_, ignored);
    }

    void create_file(const std::string& name, const std::string& content = "") {
        std::ofstream(root_ / name, std::ios::binary) << content;
    }

    // Name (as bytes) to entry, each listed name seen exactly once.
    std::map<std::string, platform::DirectoryEntry> list() {
        std::map<std::string, platform::DirectoryEntry> entries;
        platform::OpenedRoot root = open_root();
        platform::Directory* directory = platform::root_directory(*root.root);
        EXPECT_NE(directory, nullptr);
        if (!directory) return entries;
        platform::DirectoryEntry entry;
        platform::NativeStatus status;
        for (bool restart = true; (status = platform::read_directory(*directory, restart, entry)) >= 0; restart = false) {
            platform::complete_entry(*directory, entry);
            EXPECT_TRUE(entry.complete);
            std::string bytes = platform::to_native_bytes(entry.name);
            EXPECT_EQ(bytes, entry.native_name);
            EXPECT_TRUE(entries.emplace(bytes, entry).second) << "listed twice: " << bytes;
        }
        EXPECT_EQ(status, platform::status_no_more_files);
        return entries;
    }

    platform::OpenedRoot open_root(const std::string& relative = "") const {
        return platform::open_root(platform::decode_native_bytes((relative.empty() ? root_ : root_ / relative).string()));
    }

    fs::path root_;
};

long peak_resident_kib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

}  // namespace

TEST_F(Listing, EveryNameComesBackExactlyOnce) {
    std::vector<std::string> names = {"plain",        "with space",  "line\nfeed", "carriage\rreturn",
                                      "back\\slash",  "caf\xc3\xa9", "bad\xff\xfe", std::string(255, 'n'),
                                      "\xe4\xb8\xad", "...",         ".hidden",    "x"};
    for (const std::string& name : names) create_file(name);
    auto entries = list();
    ASSERT_EQ(entries.size(), names.size());
    for (const std::string& name : names) {
        ASSERT_EQ(entries.count(name), 1u) << name;
        EXPECT_EQ(entries[name].attributes, 0u) << name;
    }
    EXPECT_EQ(entries["bad\xff\xfe"].name, (std::u16string{u'b', u'a', u'd', 0xDCFF, 0xDCFE}));
}

TEST_F(Listing, AttributesFollowWhatWindowsWouldShow) {
    fs::create_directory(root_ / "dir");
    fs::create_directory(root_ / "readonly-dir");
    create_file("readonly", "abc");
    create_file("owner-only-writable");
    fs::create_directory_symlink("/tmp", root_ / "link-to-dir");
    fs::create_symlink(root_ / "readonly", root_ / "link-to-file");
    fs::permissions(root_ / "readonly-dir", fs::perms::owner_read | fs::perms::owner_exec);
    fs::permissions(root_ / "readonly", fs::perms::owner_read | fs::perms::group_read);
    fs::permissions(root_ / "owner-only-writable", fs::perms::owner_write);
    auto entries = list();
    EXPECT_EQ(entries["dir"].attributes, platform::attribute_directory);
    EXPECT_EQ(entries["readonly-dir"].attributes, platform::attribute_directory | platform::attribute_read_only);
    // A file's mode never keeps it from being deleted: it is not read-only.
    EXPECT_EQ(entries["readonly"].attributes, 0u);
    EXPECT_EQ(entries["readonly"].end_of_file, 3u);
    EXPECT_EQ(entries["owner-only-writable"].attributes, 0u);
    // A link is never a directory, whatever it points to.
    EXPECT_EQ(entries["link-to-dir"].attributes, 0u);
    EXPECT_EQ(entries["link-to-file"].attributes, 0u);
}

TEST_F(Listing, SizesAreFull64BitValues) {
    int fd = ::open((root_ / "sparse").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, (5ll << 30) + 1), 0);
    ::close(fd);
    EXPECT_EQ(list()["sparse"].end_of_file, (5ull << 30) + 1);
}

TEST_F(Listing, MissingDirectoryFailsWithItsErrno) {
    platform::OpenedRoot missing = open_root("missing");
    EXPECT_EQ(missing.kind, platform::RootKind::unopened);
    EXPECT_EQ(missing.error, static_cast<platform::ErrorCode>(ENOENT));
    EXPECT_EQ(platform::error_message(ENOENT), u"No such file or directory");
    EXPECT_EQ(platform::status_to_error(static_cast<platform::NativeStatus>(0xE000000Du)), 13u);
}

TEST_F(Listing, HundredThousandEntriesListInBoundedMemory) {
    constexpr int count = 100000;
    int directory_fd = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < count; ++i) {
        std::string name = "entry-with-a-name-of-some-length-" + std::to_string(i);
        ::close(openat(directory_fd, name.c_str(), O_CREAT | O_WRONLY, 0644));
    }
    ::close(directory_fd);

    std::ofstream("/proc/self/clear_refs") << "5";  // restarts the peak count
    long before = peak_resident_kib();
    platform::OpenedRoot root = open_root();
    platform::Directory* directory = platform::root_directory(*root.root);
    ASSERT_NE(directory, nullptr);
    platform::DirectoryEntry entry;
    int listed = 0;
    for (bool restart = true; platform::read_directory(*directory, restart, entry) >= 0; restart = false) ++listed;
    root.root.reset();
    long growth = peak_resident_kib() - before;
    EXPECT_EQ(listed, count);
    EXPECT_LT(growth, 1024) << "peak grew by " << growth << " KiB";
    std::printf("listing %d entries raised the peak resident size by %ld KiB\n", count, growth);
}

TEST_F(Listing, FilesAreCompletedWhenWanted) {
    create_file("file", "12345");
    fs::permissions(root_ / "file", fs::perms::owner_read);
    fs::create_directory(root_ / "dir");
    platform::OpenedRoot root = open_root();
    platform::Directory* directory = platform::root_directory(*root.root);
    ASSERT_NE(directory, nullptr);
    platform::DirectoryEntry entry;
    for (bool restart = true; platform::read_directory(*directory, restart, entry) >= 0; restart = false) {
        if (entry.name == u"dir") {
            EXPECT_TRUE(entry.complete);  // a directory is looked at while listed
            continue;
        }
        EXPECT_FALSE(entry.complete);
        EXPECT_EQ(entry.attributes, 0u);
        platform::complete_entry(*directory, entry);
        EXPECT_TRUE(entry.complete);
        EXPECT_EQ(entry.attributes, 0u);
        EXPECT_EQ(entry.end_of_file, 5u);
    }
}

// ext4 gives a removed directory's inode number to the next one made: a
// level released by the walk must not be taken back for that newer one.
TEST_F(Listing, AReleasedLevelIsNotTakenBackForANewerDirectoryWithItsNumber) {
    fs::create_directories(root_ / "p/c");
    platform::OpenedRoot root = open_root();
    platform::Directory* top = platform::root_directory(*root.root);
    ASSERT_NE(top, nullptr);
    auto open_only_child = [](platform::Directory& parent, platform::OwnedDirectory& child) {
        platform::DirectoryEntry entry;
        ASSERT_GE(platform::read_directory(parent, true, entry), 0);
        ASSERT_EQ(platform::open_subdirectory(parent, entry, child), platform::no_error);
    };
    platform::OwnedDirectory p, c;
    open_only_child(*top, p);
    open_only_child(*p, c);
    platform::release_directory(*p);
    struct stat status {};
    ASSERT_EQ(stat((root_ / "p").c_str(), &status), 0);
    fs::rename(root_ / "p/c", root_ / "c");
    fs::remove(root_ / "p");
    fs::path newer;
    for (int i = 0; i < 100 && newer.empty(); ++i) {
        fs::path made = root_ / "v";
        made += std::to_string(i);
        fs::create_directory(made);
        struct stat made_status {};
        if (stat(made.c_str(), &made_status) == 0 && made_status.st_ino == status.st_ino) newer = made;
    }
    if (newer.empty()) std::printf("note: this file system did not reuse the inode number\n");
    else fs::rename(root_ / "c", newer / "c");
    EXPECT_EQ(platform::reopen_from_child(*p, *c), static_cast<platform::ErrorCode>(ESTALE));
}

// Write permission granted to delete in a read-only directory is not taken
// back where its owner set a mode of its own meanwhile. As root, the
// override capability is set aside for the test, so that the deletion needs
// the grant.
TEST_F(Listing, AModeItsOwnerSetWhileTheWalkHadGrantedWriteStays) {
    std::unique_ptr<void, int (*)(void*)> before(cap_get_proc(), cap_free), without(cap_get_proc(), cap_free);
    cap_value_t override_access = CAP_DAC_OVERRIDE;
    cap_set_flag(static_cast<cap_t>(without.get()), CAP_EFFECTIVE, 1, &override_access, CAP_CLEAR);
    if (cap_set_proc(static_cast<cap_t>(without.get())) != 0) GTEST_SKIP() << "cannot set aside CAP_DAC_OVERRIDE";
    std::unique_ptr<void, void (*)(void*)> restore(before.get(), [](void* caps) { cap_set_proc(static_cast<cap_t>(caps)); });
    create_file("f");
    fs::permissions(root_, fs::perms(0555));
    platform::OpenedRoot root = open_root();
    platform::DirectoryEntry entry;
    ASSERT_GE(platform::read_directory(*platform::root_directory(*root.root), true, entry), 0);
    EXPECT_EQ(platform::delete_file(*platform::root_directory(*root.root), entry, {}), platform::no_error);
    fs::permissions(root_, fs::perms(0700));  // the owner's chmod while the run goes
    root.root.reset();
    EXPECT_EQ(fs::status(root_).permissions(), fs::perms(0700));
}
