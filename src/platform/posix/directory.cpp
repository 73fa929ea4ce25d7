// Directory listing and removal on POSIX. Every operation on an entry works
// relative to its parent's open descriptor, never by full path: paths have
// no length limit, and a directory swapped for a link mid-walk is not
// followed.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/posix.h"

namespace scythe::platform {

namespace {

// Where a directory lives: a bind mount shares the device number of its
// source, so the mount id tells mounts apart where the kernel gives it.
struct MountIdentity {
    std::uint64_t device = 0;
    std::uint64_t mount_id = 0;
    bool operator==(const MountIdentity&) const = default;
};

MountIdentity mount_identity(const struct statx& status) {
    std::uint64_t device = (std::uint64_t{status.stx_dev_major} << 32) | status.stx_dev_minor;
    return {device, (status.stx_mask & STATX_MNT_ID) ? status.stx_mnt_id : 0};
}

}  // namespace

struct Directory {
    int fd;
    MountIdentity mount;
    // Empty, a whole listing buffer, or only the unread rest of one while
    // a subdirectory is walked: deep trees then do not hold a full buffer
    // per level.
    std::vector<char> buffer;
    std::size_t offset = 0;
    std::size_t filled = 0;
};

namespace {

constexpr std::size_t listing_buffer_size = 32 * 1024;
constexpr std::size_t spare_buffers_kept = 4;
std::vector<std::vector<char>> spare_buffers;

std::vector<char> take_listing_buffer() {
    if (spare_buffers.empty()) return std::vector<char>(listing_buffer_size);
    std::vector<char> buffer = std::move(spare_buffers.back());
    spare_buffers.pop_back();
    return buffer;
}

void release_buffer(Directory& directory) {
    if (directory.buffer.size() == listing_buffer_size && spare_buffers.size() < spare_buffers_kept)
        spare_buffers.push_back(std::move(directory.buffer));
    directory.buffer = {};
    directory.offset = directory.filled = 0;
}

// Keeps only what is left to read of the parent's buffer.
void shrink_to_unread(Directory& directory) {
    std::size_t unread = directory.filled - directory.offset;
    if (unread == 0) return release_buffer(directory);
    if (directory.buffer.size() != listing_buffer_size) return;  // holds only a rest already
    auto start = directory.buffer.begin() + static_cast<std::ptrdiff_t>(directory.offset);
    std::vector<char> rest(start, start + static_cast<std::ptrdiff_t>(unread));
    release_buffer(directory);
    directory.buffer = std::move(rest);
    directory.filled = unread;
}

NativeStatus errno_status() {
    set_error(errno);
    return static_cast<NativeStatus>(errno_status_base | static_cast<std::uint32_t>(errno));
}

// Reads the next batch of records; 0, or the status that ends the listing.
NativeStatus refill(Directory& directory) {
    if (directory.buffer.size() != listing_buffer_size) directory.buffer = take_listing_buffer();
    ssize_t length = getdents64(directory.fd, directory.buffer.data(), directory.buffer.size());
    if (length < 0) return errno_status();
    if (length == 0) {
        release_buffer(directory);
        return status_no_more_files;
    }
    directory.offset = 0;
    directory.filled = static_cast<std::size_t>(length);
    return 0;
}

bool is_dot_or_dot_dot(const char* name) {
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

constexpr unsigned entry_fields = STATX_TYPE | STATX_MODE | STATX_SIZE | STATX_MNT_ID;

// The attributes Windows would show: a directory only for a real directory
// (a link never is one), read-only when no write bit is set at all, and a
// directory on another mount marked as a mount point, never to be entered.
void describe(const Directory& directory, const struct statx& status, DirectoryEntry& entry) {
    bool is_directory = S_ISDIR(status.stx_mode);
    entry.attributes = is_directory ? attribute_directory : 0;
    if (is_directory && !(mount_identity(status) == directory.mount))
        entry.attributes |= attribute_reparse_point;
    else if ((status.stx_mode & 0222) == 0)
        entry.attributes |= attribute_read_only;
    entry.end_of_file = is_directory ? 0 : status.stx_size;
    entry.complete = true;
}

bool read_status(const Directory& directory, const DirectoryEntry& entry, struct statx& status) {
    return statx(directory.fd, entry.native_name.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, entry_fields,
                 &status) == 0;
}

// Directories are looked at at once (mount point, read-only bit); files
// only when their size or bit is wanted, which saves a call per file.
void describe_entry(const Directory& directory, const char* name, unsigned char type, DirectoryEntry& entry) {
    entry.native_name.assign(name);
    decode_native_bytes_into(entry.name, entry.native_name);
    entry.attributes = type == DT_DIR ? attribute_directory : 0;
    entry.end_of_file = 0;
    entry.complete = false;
    struct statx status {};
    if ((type == DT_DIR || type == DT_UNKNOWN) && read_status(directory, entry, status))
        describe(directory, status, entry);
}

Directory* directory_for(int fd) {
    struct statx status {};
    if (statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &status) != 0) {
        fail_with_errno();
        ::close(fd);
        return nullptr;
    }
    return new Directory{fd, mount_identity(status), {}, 0, 0};
}

// Opens the parent of a path too long for one system call, one component
// at a time; returns its descriptor and leaves the last component in name.
int open_parent_of_long_path(const std::string& path, std::string& name) {
    int fd = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    std::size_t start = 0;
    name.clear();
    while (fd >= 0 && start < path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string component = path.substr(start, end - start);
        start = end + 1;
        if (component.empty()) continue;
        if (!name.empty()) {
            int next = openat(fd, name.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
            ::close(fd);
            fd = next;
        }
        name = std::move(component);
    }
    return fd;
}

int open_by_path(const std::string& path, int flags) {
    if (path.size() < PATH_MAX) return ::open(path.c_str(), flags);
    std::string name;
    int parent = open_parent_of_long_path(path, name);
    if (parent < 0) return -1;
    int fd = openat(parent, name.c_str(), flags);
    int saved = errno;
    ::close(parent);
    errno = saved;
    return fd;
}

// Windows lets an entry of a read-only directory be deleted; POSIX wants
// write permission on the directory. Grants it where the process may.
bool grant_owner_write(int directory_fd) {
    struct stat status {};
    if (fstat(directory_fd, &status) != 0 || (status.st_mode & S_IWUSR)) return false;
    return fchmod(directory_fd, (status.st_mode & 07777) | S_IWUSR) == 0;
}

bool remove_entry(Directory& parent, const DirectoryEntry& entry, int flags) {
    const char* name = entry.native_name.c_str();
    if (unlinkat(parent.fd, name, flags) == 0) return true;
    int first_error = errno;
    if (first_error != EACCES || !grant_owner_write(parent.fd)) {
        set_error(first_error);
        return false;
    }
    return unlinkat(parent.fd, name, flags) == 0 || fail_with_errno();
}

}  // namespace

Directory* open_directory(const std::u16string& path) {
    int fd = open_by_path(to_native_bytes(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        fail_with_errno();
        return nullptr;
    }
    return directory_for(fd);
}

Directory* open_subdirectory(Directory& parent, const DirectoryEntry& entry, const std::u16string&) {
    int fd = openat(parent.fd, entry.native_name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        fail_with_errno();
        return nullptr;
    }
    Directory* directory = directory_for(fd);
    if (directory && !(directory->mount == parent.mount)) {
        // Mounted there since it was listed: never walk into another file system.
        close_directory(directory);
        set_error(EXDEV);
        return nullptr;
    }
    if (directory) shrink_to_unread(parent);
    return directory;
}

NativeStatus read_directory(Directory& directory, bool restart, DirectoryEntry& entry) {
    if (restart && (directory.offset != 0 || directory.filled != 0)) {
        lseek(directory.fd, 0, SEEK_SET);
        directory.offset = directory.filled = 0;
    }
    for (;;) {
        if (directory.offset >= directory.filled) {
            NativeStatus status = refill(directory);
            if (status != 0) return status;
        }
        auto* record = reinterpret_cast<const dirent64*>(directory.buffer.data() + directory.offset);
        directory.offset += record->d_reclen;
        if (is_dot_or_dot_dot(record->d_name)) continue;
        describe_entry(directory, record->d_name, record->d_type, entry);
        return 0;
    }
}

void complete_entry(Directory& parent, DirectoryEntry& entry) {
    struct statx status {};
    if (!entry.complete && read_status(parent, entry, status)) describe(parent, status, entry);
}

void close_directory(Directory* directory) {
    ::close(directory->fd);
    release_buffer(*directory);
    delete directory;
}

bool clear_read_only(Directory& parent, const DirectoryEntry& entry, const std::u16string&) {
    struct stat status {};
    const char* name = entry.native_name.c_str();
    if (fstatat(parent.fd, name, &status, AT_SYMLINK_NOFOLLOW) != 0) return fail_with_errno();
    // Without following links: a link's target is never changed.
    if (fchmodat(parent.fd, name, (status.st_mode & 07777) | S_IWUSR, AT_SYMLINK_NOFOLLOW) != 0)
        return fail_with_errno();
    return true;
}

bool delete_file(Directory& parent, const DirectoryEntry& entry, const std::u16string&) {
    return remove_entry(parent, entry, 0);
}

bool remove_directory(Directory& parent, const DirectoryEntry& entry, const std::u16string&) {
    return remove_entry(parent, entry, AT_REMOVEDIR);
}

bool remove_root_directory(const std::u16string& path) {
    std::string bytes = to_native_bytes(path);
    if (bytes.size() < PATH_MAX) return ::rmdir(bytes.c_str()) == 0 || fail_with_errno();
    std::string name;
    int parent = open_parent_of_long_path(bytes, name);
    if (parent < 0) return fail_with_errno();
    bool removed = unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0 || fail_with_errno();
    ::close(parent);
    return removed;
}

}  // namespace scythe::platform
