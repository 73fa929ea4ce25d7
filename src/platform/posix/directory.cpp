// Directory listing and removal on POSIX. Every operation on an entry works
// relative to its parent's open descriptor, never by full path: paths have
// no length limit, and a directory swapped for a link mid-walk is not
// followed (children are opened O_NOFOLLOW | O_DIRECTORY).
//
// The hard cases:
// - The root is opened once, where its path is checked, and judged by what
//   was opened: a path that reaches "/" through links or ".." is refused, a
//   root that is a symbolic link is removed as a link, and its removal at
//   the end checks that the name still holds the object that was opened.
// - Mounts: a bind mount shares its source's device number, so the mount id
//   tells them apart; a directory on another mount is never entered.
// - Depth: a walk may release a level's descriptor and reopen it later, from
//   its child's ".." or by name from its parent; it is accepted only if it
//   is provably the same directory it was: device, inode and birth time (or
//   generation) together, since a removed directory's inode number is given
//   to the next one made at once. A directory that cannot be proved the same
//   (a file system that keeps neither) is not accepted.
// - Modes: a file's mode never stands in the way of its deletion here, so it
//   is never changed; a directory's mode only on a directory opened as
//   itself on the tree's own mount, to delete its own entries (owner write)
//   or to list one its owner may not read or search (owner read, write and
//   search, on the owner's own directory only), and given back before its
//   descriptor closes: a directory that stays (a kept root, one left
//   behind) keeps its mode, or the one its owner gave it meanwhile.
// - The run's own output files are protected by what the file itself is
//   (device and inode from statx), not by the listing's inode number, which
//   overlay file systems give differently; every directory has them from
//   the root's session.
// - Threads: a Directory is used by one thread at a time; the spare listing
//   buffers are each thread's own, and the protected files are only read
//   once the walk has begun.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/posix.h"

namespace scythe::platform {

namespace {

// What a directory is: a bind mount shares the device number of its
// source, so the mount id tells mounts apart where the kernel gives it.
struct Identity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t mount_id = 0;
    // What tells a directory from a later one given the same inode number:
    // its birth time where the file system keeps one, else its generation.
    std::uint64_t birth_ns = 0;
    bool birth_known = false;
    std::uint32_t generation = 0;
    bool generation_known = false;
    bool same_mount(const Identity& other) const { return device == other.device && mount_id == other.mount_id; }
    bool same_object(const Identity& other) const { return device == other.device && inode == other.inode; }
    // Same object and provably not a newer one that reuses its number.
    bool provably_same(const Identity& other) const {
        if (!same_object(other) || !same_mount(other)) return false;
        if (birth_known && other.birth_known) return birth_ns == other.birth_ns;
        return generation_known && other.generation_known && generation == other.generation;
    }
};

constexpr unsigned identity_fields = STATX_INO | STATX_MNT_ID | STATX_BTIME;

std::uint64_t device_of(const struct statx& status) {
    return (std::uint64_t{status.stx_dev_major} << 32) | status.stx_dev_minor;
}

Identity identity_of(const struct statx& status) {
    Identity identity;
    identity.device = device_of(status);
    identity.inode = status.stx_ino;
    identity.mount_id = (status.stx_mask & STATX_MNT_ID) ? status.stx_mnt_id : 0;
    identity.birth_known = (status.stx_mask & STATX_BTIME) != 0;
    if (identity.birth_known)
        identity.birth_ns = static_cast<std::uint64_t>(status.stx_btime.tv_sec) * 1000000000u + status.stx_btime.tv_nsec;
    return identity;
}

// Where there is no birth time, the generation number (ext2/3/4 and
// others keep one) serves the same purpose.
void add_generation(int fd, Identity& identity) {
    if (identity.birth_known) return;
    int generation = 0;
    identity.generation_known = ioctl(fd, FS_IOC_GETVERSION, &generation) == 0;
    identity.generation = static_cast<std::uint32_t>(generation);
}

// An owned descriptor: closed on every way out.
using Descriptor = Owned<FileHandleKind>;

ErrorCode errno_code() { return static_cast<ErrorCode>(errno); }

}  // namespace

struct Directory {
    Descriptor fd;  // closed while released
    Identity identity;
    // Empty, a whole listing buffer, or only the unread rest of one while
    // a subdirectory is walked: deep trees then do not hold a full buffer
    // per level.
    std::vector<char> buffer;
    std::size_t offset = 0;
    std::size_t filled = 0;
    bool read_from = false;  // the descriptor's position is past the start
    // The mode it had before its owner was granted what the walk needs
    // (write, to delete its entries; read and search, to list it), and the
    // mode granted; given back when its descriptor closes (released or
    // done), so that a directory that stays keeps its mode.
    mode_t mode_before_grant = 0;
    mode_t mode_granted = 0;
    bool granted = false;
    const Session* outputs = nullptr;  // the run's, whose files are never deleted
};

struct Root {
    Descriptor parent;  // the directory that holds the root (O_PATH)
    std::string name;   // the root's name in it
    Identity object;    // what was opened: the directory, or the link itself
    bool link = false;
    OwnedDirectory directory;
};

namespace {

constexpr std::size_t listing_buffer_size = 32 * 1024;
constexpr std::size_t spare_buffers_kept = 4;
// Each thread keeps its own few, so that taking one needs no lock: a cache
// of memory, not the run's state, since nothing a run says depends on it.
thread_local std::vector<std::vector<char>> spare_buffers;

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
    return static_cast<NativeStatus>(errno_status_base | static_cast<std::uint32_t>(errno));
}

// Reads the next batch of records; 0, or the status that ends the listing.
NativeStatus refill(Directory& directory) {
    if (directory.buffer.size() != listing_buffer_size) directory.buffer = take_listing_buffer();
    directory.read_from = true;
    ssize_t length = getdents64(directory.fd.get(), directory.buffer.data(), directory.buffer.size());
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

constexpr unsigned entry_fields = STATX_TYPE | STATX_MODE | STATX_SIZE | STATX_INO | STATX_MNT_ID;

// The attributes Windows would show: a directory only for a real directory
// (a link never is one), and a directory on another mount marked as a mount
// point, never to be entered. A directory without write bits shows
// read-only; a file never does, since its mode does not keep it from being
// deleted (and changing it would change every other link to it).
void describe(const Directory& directory, const struct statx& status, DirectoryEntry& entry) {
    bool is_directory = S_ISDIR(status.stx_mode);
    entry.attributes = is_directory ? attribute_directory : 0;
    entry.reparse_tag = 0;
    if (is_directory && !identity_of(status).same_mount(directory.identity)) {
        entry.attributes |= attribute_reparse_point;
        entry.reparse_tag = reparse_tag_mount_point;
    }
    else if (is_directory && (status.stx_mode & 0222) == 0)
        entry.attributes |= attribute_read_only;
    entry.end_of_file = is_directory ? 0 : status.stx_size;
    entry.device = device_of(status);
    entry.inode = status.stx_ino;
    entry.complete = true;
}

bool read_status(const Directory& directory, const DirectoryEntry& entry, struct statx& status) {
    return statx(directory.fd.get(), entry.native_name.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT,
                 entry_fields, &status) == 0;
}

// Directories are looked at at once (mount point, read-only bit); files
// only when their size or bit is wanted, which saves a call per file.
void describe_entry(const Directory& directory, const dirent64& record, DirectoryEntry& entry) {
    const char* name = record.d_name;
    unsigned char type = record.d_type;
    entry.inode = record.d_ino;
    entry.native_name.assign(name);
    decode_native_bytes_into(entry.name, entry.native_name);
    entry.attributes = type == DT_DIR ? attribute_directory : 0;
    entry.reparse_tag = 0;
    entry.end_of_file = 0;
    entry.complete = false;
    struct statx status {};
    if ((type == DT_DIR || type == DT_UNKNOWN) && read_status(directory, entry, status))
        describe(directory, status, entry);
}

ErrorCode identify_at(int parent, const char* name, int flags, Identity& identity) {
    struct statx status {};
    if (statx(parent, name, flags | AT_NO_AUTOMOUNT, identity_fields, &status) != 0) return errno_code();
    identity = identity_of(status);
    return no_error;
}

ErrorCode identify(int fd, Identity& identity) { return identify_at(fd, "", AT_EMPTY_PATH, identity); }

// Opens the directory that holds the last component of a path (a relative
// one from the working directory), one component at a time where the path
// is too long for one call. Links and ".." on the way are resolved by the
// system, as for any path.
Descriptor open_parent(const std::string& path, std::string& name) {
    std::size_t last = path.rfind('/');
    name = path.substr(last + 1);  // the whole path where it has no slash
    std::string parent = last == std::string::npos ? "." : last == 0 ? "/" : path.substr(0, last);
    if (parent.size() < PATH_MAX) return Descriptor(::open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    Descriptor fd(::open(path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::size_t start = 0;
    while (fd.get() >= 0 && start < parent.size()) {
        std::size_t end = parent.find('/', start);
        if (end == std::string::npos) end = parent.size();
        std::string component = parent.substr(start, end - start);
        start = end + 1;
        if (!component.empty()) fd.reset(openat(fd.get(), component.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    return fd;
}

// Windows lets an entry of a read-only directory be deleted; POSIX wants
// write permission on the directory. Grants it where the process may, and
// notes the mode to give back.
bool grant_owner_write(Directory& directory) {
    struct stat status {};
    if (fstat(directory.fd.get(), &status) != 0 || (status.st_mode & S_IWUSR)) return false;
    mode_t granted = (status.st_mode & 07777) | S_IWUSR;
    if (fchmod(directory.fd.get(), granted) != 0) return false;
    if (!directory.granted) directory.mode_before_grant = status.st_mode & 07777;
    directory.mode_granted = granted;
    directory.granted = true;
    return true;
}

// A mode set on a directory through a descriptor that cannot read it
// (O_PATH), so that the mode lands on exactly the directory opened, never
// on what a name was swapped for meanwhile. Needs /proc (absent in a bare
// chroot, where the grant is not made).
bool set_mode_of(int path_fd, mode_t mode) {
    std::string proc_path = "/proc/self/fd/" + std::to_string(path_fd);
    return chmod(proc_path.c_str(), mode) == 0;
}

// The owner of a directory it may not read or search (mode 0, 0300) may
// still delete it, as a plain rmdir of an empty one shows: the walk grants
// the owner read, write and search, only on the owner's own directory,
// opened as itself (never through a link) and, below the root, on its
// parent's mount. The caller gives the mode back as a granted write's.
struct Grant {
    mode_t before = 0;
    mode_t granted = 0;
};

Descriptor open_listing(int parent, const char* name, const Identity* parent_identity, Grant& grant) {
    constexpr int listing_flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    Descriptor fd(openat(parent, name, listing_flags));
    if (fd.get() >= 0 || errno != EACCES) return fd;
    Descriptor path_fd(openat(parent, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    Identity named;
    bool ours = path_fd.get() >= 0 && fstat(path_fd.get(), &status) == 0 && status.st_uid == geteuid() &&
                identify(path_fd.get(), named) == no_error &&
                (!parent_identity || named.same_mount(*parent_identity));
    mode_t granted = (status.st_mode & 07777) | S_IRWXU;
    if (!ours || granted == (status.st_mode & 07777) || !set_mode_of(path_fd.get(), granted)) {
        errno = EACCES;
        return Descriptor(-1);
    }
    fd = Descriptor(openat(parent, name, listing_flags));
    Identity opened;
    if (fd.get() < 0 || identify(fd.get(), opened) != no_error || !opened.same_object(named)) {
        set_mode_of(path_fd.get(), status.st_mode & 07777);  // swapped meanwhile: ours back, nothing opened
        errno = EACCES;
        return Descriptor(-1);
    }
    grant = Grant{static_cast<mode_t>(status.st_mode & 07777), granted};
    return fd;
}

void note_grant(Directory& directory, const Grant& grant) {
    if (!grant.granted) return;
    directory.mode_before_grant = grant.before;
    directory.mode_granted = grant.granted;
    directory.granted = true;
}

// A directory opened with a grant but not taken after all gets its mode
// back at once; returns the error that refused it.
ErrorCode give_back(int fd, const Grant& grant, ErrorCode error) {
    struct stat status {};
    if (grant.granted && fstat(fd, &status) == 0 && (status.st_mode & 07777) == grant.granted)
        fchmod(fd, grant.before);
    return error;
}

// Before its descriptor closes. A directory about to be removed gets its
// mode back too: its removal asks only its parent's permission. Only the
// mode the walk set is taken back: one its owner set meanwhile (chmod 700
// on a kept root while the run goes) is the owner's word and stays.
void give_mode_back(Directory& directory) {
    if (!std::exchange(directory.granted, false) || directory.fd.get() < 0) return;
    struct stat status {};
    if (fstat(directory.fd.get(), &status) != 0) return;
    if ((status.st_mode & 07777) != directory.mode_granted) return;
    fchmod(directory.fd.get(), directory.mode_before_grant);
}

ErrorCode remove_entry(Directory& parent, const DirectoryEntry& entry, int flags) {
    const char* name = entry.native_name.c_str();
    if (unlinkat(parent.fd.get(), name, flags) == 0) return no_error;
    ErrorCode first_error = errno_code();
    if (first_error != EACCES || !grant_owner_write(parent)) return first_error;
    return unlinkat(parent.fd.get(), name, flags) == 0 ? no_error : errno_code();
}

// A directory opened from its descriptor, its identity read at once.
ErrorCode adopt(Descriptor fd, OwnedDirectory& opened, const Grant& grant = {}) {
    if (fd.get() < 0) return errno_code();
    auto directory = OwnedDirectory(new Directory{});
    if (ErrorCode error = identify(fd.get(), directory->identity)) return give_back(fd.get(), grant, error);
    add_generation(fd.get(), directory->identity);
    directory->fd = std::move(fd);
    note_grant(*directory, grant);
    opened = std::move(directory);
    return no_error;
}

ErrorCode open_root_in(Root& root, RootKind& kind) {
    Identity file_system_root;
    identify_at(AT_FDCWD, "/", 0, file_system_root);
    struct statx status {};
    const char* name = root.name.c_str();
    if (statx(root.parent.get(), name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, identity_fields | STATX_TYPE,
              &status) != 0)
        return errno_code();
    if (S_ISLNK(status.stx_mode)) {
        // Never followed, but a link to "/" is as much the root as "/" itself.
        Identity target;
        if (identify_at(root.parent.get(), name, 0, target) == no_error && target.same_object(file_system_root))
            kind = RootKind::file_system_root;
        else
            kind = RootKind::link;
        root.link = true;
        root.object = identity_of(status);
        return no_error;
    }
    Grant grant;
    Descriptor fd = open_listing(root.parent.get(), name, nullptr, grant);
    if (ErrorCode error = adopt(std::move(fd), root.directory, grant)) return error;
    root.object = root.directory->identity;
    kind = root.object.same_object(file_system_root) ? RootKind::file_system_root : RootKind::directory;
    return no_error;
}

// Descriptors open now: counted in /proc where it is mounted, else by
// asking each number up to the limit (a chroot has no /proc).
std::size_t descriptors_in_use(std::size_t limit) {
    if (DIR* listing = opendir("/proc/self/fd")) {
        std::size_t count = 0;
        while (const dirent* record = readdir(listing))
            if (record->d_name[0] != '.') ++count;
        closedir(listing);
        return count > 0 ? count - 1 : 0;  // less the listing's own
    }
    std::size_t count = 0;
    for (std::size_t fd = 0; fd < std::min<std::size_t>(limit, 65536); ++fd)
        if (fcntl(static_cast<int>(fd), F_GETFD) != -1) ++count;
    return count;
}

ErrorCode reopen(Directory& directory, Descriptor fd, const Grant& grant = {}) {
    if (fd.get() < 0) return errno_code();
    Identity found;
    if (ErrorCode error = identify(fd.get(), found)) return give_back(fd.get(), grant, error);
    add_generation(fd.get(), found);
    // Moved or replaced while its descriptor was closed, or not provably
    // the same: not ours any more.
    if (!found.provably_same(directory.identity)) return give_back(fd.get(), grant, ESTALE);
    note_grant(directory, grant);
    directory.fd = std::move(fd);
    release_buffer(directory);
    directory.read_from = false;
    return no_error;
}

// The entry's own identity where the listing was completed already (its
// FILE line wanted the size), else read now.
bool is_protected(const Directory& parent, const DirectoryEntry& entry) {
    if (!parent.outputs || parent.outputs->protected_files.empty()) return false;
    FileIdentity identified{entry.device, entry.inode};
    struct statx status {};
    if (!entry.complete) {
        if (!read_status(parent, entry, status)) return false;
        identified = {device_of(status), status.stx_ino};
    }
    for (const FileIdentity& file : parent.outputs->protected_files)
        if (file.device == identified.device && file.inode == identified.inode) return true;
    return false;
}

}  // namespace

void CloseDirectory::operator()(Directory* directory) const noexcept {
    give_mode_back(*directory);
    release_buffer(*directory);
    delete directory;
}

void CloseRoot::operator()(Root* root) const noexcept { delete root; }

OpenedRoot open_root(const std::u16string& path, const Session* outputs) {
    OpenedRoot opened;
    opened.root = OwnedRoot(new Root{});
    Root& root = *opened.root;
    std::string bytes = to_native_bytes(path);
    root.parent = open_parent(bytes, root.name);
    if (root.name.empty()) {  // "/" itself
        opened.kind = RootKind::file_system_root;
        return opened;
    }
    if (root.parent.get() < 0) {
        opened.error = errno_code();
        return opened;
    }
    opened.error = open_root_in(root, opened.kind);
    if (opened.error) opened.kind = RootKind::unopened;
    if (root.directory) root.directory->outputs = outputs;
    return opened;
}

Directory* root_directory(Root& root) { return root.directory.get(); }

bool names_directory(const std::u16string& path) {
    struct stat status {};
    return stat(to_native_bytes(path).c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// The name getcwd gives is looked up again and must lead to the working
// directory: a directory moved meanwhile, or one outside the process's
// root ("(unreachable)/..." on Linux), has no name to show.
ErrorCode working_directory(std::u16string& path) {
    std::unique_ptr<char, void (*)(void*)> name(getcwd(nullptr, 0), std::free);
    if (!name) return errno_code();
    std::string bytes = name.get();
    if (bytes[0] != '/') return ENOENT;
    Identity named, actual;
    std::string last;
    Descriptor parent = open_parent(bytes, last);
    if (parent.get() < 0) return errno_code();
    ErrorCode error = last.empty() ? identify_at(parent.get(), "", AT_EMPTY_PATH, named)
                                   : identify_at(parent.get(), last.c_str(), 0, named);
    if (!error) error = identify_at(AT_FDCWD, ".", 0, actual);
    if (error) return error;
    if (!named.same_object(actual)) return ESTALE;
    path = decode_native_bytes(bytes);
    return no_error;
}

ErrorCode remove_root(Root& root) {
    root.directory.reset();
    Identity now;
    if (ErrorCode error = identify_at(root.parent.get(), root.name.c_str(), AT_SYMLINK_NOFOLLOW, now)) return error;
    // Replaced since it was opened: whatever stands there now is not ours.
    if (!now.same_object(root.object)) return ESTALE;
    if (unlinkat(root.parent.get(), root.name.c_str(), root.link ? 0 : AT_REMOVEDIR) != 0) return errno_code();
    return no_error;
}

ErrorCode open_subdirectory(Directory& parent, const DirectoryEntry& entry, OwnedDirectory& opened) {
    Grant grant;
    Descriptor fd = open_listing(parent.fd.get(), entry.native_name.c_str(), &parent.identity, grant);
    if (ErrorCode error = adopt(std::move(fd), opened, grant)) return error;
    if (!opened->identity.same_mount(parent.identity)) {
        // Mounted there since it was listed: never walk into another file system.
        opened.reset();
        return EXDEV;
    }
    opened->outputs = parent.outputs;
    shrink_to_unread(parent);
    return no_error;
}

NativeStatus read_directory(Directory& directory, bool restart, DirectoryEntry& entry) {
    if (restart && directory.read_from) {
        lseek(directory.fd.get(), 0, SEEK_SET);
        release_buffer(directory);
        directory.read_from = false;
    }
    for (;;) {
        if (directory.offset >= directory.filled) {
            NativeStatus status = refill(directory);
            if (status != 0) return status;
        }
        auto* record = reinterpret_cast<const dirent64*>(directory.buffer.data() + directory.offset);
        directory.offset += record->d_reclen;
        if (is_dot_or_dot_dot(record->d_name)) continue;
        describe_entry(directory, *record, entry);
        return 0;
    }
}

void complete_entry(Directory& parent, DirectoryEntry& entry) {
    struct statx status {};
    if (!entry.complete && read_status(parent, entry, status)) describe(parent, status, entry);
}

// What is free now, less a few for the system's own use (a library that
// opens a file), never more than 64, which is well under the 1,024 that
// services and containers often get. The walk counts its root, already
// open, among them.
std::size_t directory_handle_budget() {
    constexpr std::size_t most = 64, kept_free = 2;
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return most;
    auto allowed = static_cast<std::size_t>(limit.rlim_cur);
    std::size_t in_use = descriptors_in_use(allowed);
    std::size_t free = allowed > in_use + kept_free ? allowed - in_use - kept_free : 0;
    return std::min(most, free + 1);
}

bool out_of_handles(ErrorCode error) { return error == EMFILE || error == ENFILE; }

void release_directory(Directory& directory) {
    give_mode_back(directory);
    directory.fd.reset();
    release_buffer(directory);
}

bool directory_released(const Directory& directory) { return directory.fd.get() < 0; }

ErrorCode reopen_from_child(Directory& directory, Directory& child) {
    return reopen(directory, Descriptor(openat(child.fd.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
}

ErrorCode reopen_from_parent(Directory& directory, Directory& parent, const DirectoryEntry& entry) {
    Grant grant;
    Descriptor fd = open_listing(parent.fd.get(), entry.native_name.c_str(), &parent.identity, grant);
    return reopen(directory, std::move(fd), grant);
}

bool already_gone(ErrorCode error) { return error == ENOENT; }

bool listing_found_directory_gone(NativeStatus status) {
    return status == static_cast<NativeStatus>(errno_status_base | ENOENT);
}

bool access_denied(ErrorCode error) { return error == EACCES || error == EPERM; }

bool worth_retrying(ErrorCode) { return false; }

void pause_milliseconds(unsigned milliseconds) { usleep(milliseconds * 1000u); }

// An entry held open is deleted at once: nothing holds one back, and there
// is no restart to wait for.
bool held_open(ErrorCode) { return false; }

bool not_empty(ErrorCode error) { return error == ENOTEMPTY || error == EEXIST; }

ErrorCode holders_of(const std::u16string&, std::vector<Holder>& holders) {
    holders.clear();
    return no_error;
}

ErrorCode delete_at_restart(const std::u16string&) { return ENOTSUP; }

// Only a directory's bit is ever cleared (a file's mode does not stand in
// the way), and only on the directory opened as itself, on the tree's mount.
ErrorCode clear_read_only(Directory& parent, const DirectoryEntry& entry) {
    if (!(entry.attributes & attribute_directory)) return no_error;
    OwnedDirectory child;
    if (ErrorCode error = open_subdirectory(parent, entry, child)) return error;
    struct stat status {};
    if (fstat(child->fd.get(), &status) != 0) return errno_code();
    if (fchmod(child->fd.get(), (status.st_mode & 07777) | S_IWUSR) != 0) return errno_code();
    return no_error;
}

void protect_output_file(Session& session, FileHandle file) {
    struct statx status {};
    if (statx(file, "", AT_EMPTY_PATH, STATX_TYPE | STATX_INO, &status) == 0 && S_ISREG(status.stx_mode))
        session.protected_files.push_back({device_of(status), status.stx_ino});
}

// Where the run writes to files, each file is identified before it goes.
ErrorCode delete_file(Directory& parent, const DirectoryEntry& entry, DeletionForm) {
    if (is_protected(parent, entry)) return EBUSY;
    return remove_entry(parent, entry, 0);
}

ErrorCode remove_directory(Directory& parent, const DirectoryEntry& entry, DeletionForm) {
    return remove_entry(parent, entry, AT_REMOVEDIR);
}

// As delete_file and remove_directory refuse before acting: the run's own
// output file, and a mount point (the system's EBUSY).
ErrorCode foreseen_refusal(Directory& parent, const DirectoryEntry& entry) {
    if (entry.attributes & attribute_directory) return entry.reparse_tag == reparse_tag_mount_point ? EBUSY : no_error;
    return is_protected(parent, entry) ? EBUSY : no_error;
}

// Every entry a directory holds is listed.
ErrorCode confirm_emptied(Root&) { return no_error; }

}  // namespace scythe::platform
