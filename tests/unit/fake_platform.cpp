// The in-memory system behind the unit tests: directories, files and
// output channels by path, failures injected per path and operation, one
// lock for every call so that several walks can share it.
#include "fake_platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <new>
#include <thread>

namespace fake {

System system;
std::mutex mutex;
thread_local int depth = 0;  // how often this thread holds the lock
std::condition_variable changed;

Locked::Locked() {
    if (depth++ == 0) mutex.lock();
}
Locked::~Locked() {
    if (--depth == 0) mutex.unlock();
}

namespace {
// Set by the first wait that was never ended; reset with the system.
bool a_wait_failed = false;
}  // namespace

void wait_until(const std::function<bool()>& condition) {
    Locked held;
    std::unique_lock<std::mutex> waiting(mutex, std::adopt_lock);
    int held_depth = std::exchange(depth, 0);
    bool met = changed.wait_for(waiting, std::chrono::minutes(1), [&] {
        depth = held_depth;
        bool now = a_wait_failed || condition();
        depth = 0;
        return now;
    });
    depth = held_depth;
    waiting.release();
    if (!met || a_wait_failed) {
        if (!a_wait_failed) ADD_FAILURE() << "a wait for another thread was never ended: nothing was handed out";
        a_wait_failed = true;
        changed.notify_all();
    }
}

void announce() {
    Locked held;
    changed.notify_all();
}

namespace {

std::u16string parent_of(const std::u16string& path) { return path.substr(0, path.rfind(u'/')); }
std::u16string name_of(const std::u16string& path) { return path.substr(path.rfind(u'/') + 1); }

void add_node(const std::u16string& path, Node node) {
    system.nodes[parent_of(path)].children.push_back(name_of(path));
    node.id = ++system.last_id;
    system.path_of[node.id] = path;
    system.nodes[path] = std::move(node);
}

}  // namespace

void remove_node(const std::u16string& path) {
    auto parent = system.nodes.find(parent_of(path));
    if (parent != system.nodes.end()) {
        auto& siblings = parent->second.children;
        siblings.erase(std::find(siblings.begin(), siblings.end(), name_of(path)));
    }
    auto node = system.nodes.find(path);
    if (node == system.nodes.end()) return;
    system.path_of.erase(node->second.id);
    system.nodes.erase(node);
}

void move_node(const std::u16string& from, const std::u16string& to) {
    auto& siblings = system.nodes[parent_of(from)].children;
    siblings.erase(std::find(siblings.begin(), siblings.end(), name_of(from)));
    system.nodes[parent_of(to)].children.push_back(name_of(to));
    std::vector<std::pair<std::u16string, Node>> moved;
    for (auto it = system.nodes.lower_bound(from); it != system.nodes.end() && it->first.rfind(from, 0) == 0;) {
        if (it->first.size() > from.size() && it->first[from.size()] != u'/') {
            ++it;
            continue;
        }
        moved.emplace_back(to + it->first.substr(from.size()), std::move(it->second));
        it = system.nodes.erase(it);
    }
    for (auto& [path, node] : moved) {
        system.path_of[node.id] = path;
        system.nodes[path] = std::move(node);
    }
}

void reset(const std::u16string& root) {
    system = System{};
    a_wait_failed = false;
    system.nodes[root] = Node{scythe::platform::attribute_directory, 0, {}, ++system.last_id};
    system.path_of[system.last_id] = root;
}

void add_directory(const std::u16string& path, std::uint32_t extra_attributes, std::uint32_t reparse_tag) {
    add_node(path, Node{scythe::platform::attribute_directory | extra_attributes, 0, {}, 0, reparse_tag});
}

void add_file(const std::u16string& path, std::uint64_t size, std::uint32_t extra_attributes) {
    add_node(path, Node{extra_attributes, size, {}});
}

bool exists(const std::u16string& path) { return system.nodes.count(path) != 0; }

}  // namespace fake

namespace scythe::platform {

using fake::system;

using fake::Locked;

struct Directory {
    std::uint64_t id;                   // the node, wherever it is now
    std::vector<std::u16string> names;  // as listed when the scan started
    std::size_t next = 0;
    bool released = false;
};

std::u16string error_message(ErrorCode code) {
    Locked held;
    switch (code) {
        case 2: return u"The system cannot find the file specified.\r\n";
        case 5: return u"Access is denied.\r\n";
        case 145: return u"The directory is not empty.\r\n";
        case 1234: return u"First line of the text.\r\nSecond line.\r\n";
        case 1223: return u"The operation was canceled by the user.\r\n";
        case 1300: return u"Not all privileges referenced are assigned to the caller.\r\n";
        default: return u"";
    }
}

void prepare_process() {}
int exit_status(int result) { return result; }

std::int64_t wall_clock_seconds() {
    Locked held;
    std::int64_t now = system.clock;
    system.clock += system.clock_step;
    return now;
}

std::u16string decode_native_bytes(std::string_view bytes) { return std::u16string(bytes.begin(), bytes.end()); }
std::string to_native_bytes(std::u16string_view text) { return std::string(text.begin(), text.end()); }

// The fake system's output is the test's to look at: a session keeps nothing.
struct Session {};
OwnedSession start_session() { return OwnedSession(new Session{}); }
void CloseSession::operator()(Session* session) const noexcept { delete session; }

std::size_t write_console(Session&, std::string_view bytes) {
    Locked held;
    std::size_t taken = std::min(bytes.size(), system.console_room);
    if (taken < bytes.size() && !system.interrupted && system.on_console_full) system.on_console_full();
    system.console += bytes.substr(0, taken);
    system.console_room -= taken;
    return taken;
}

void begin_output_grace(Session&) {
    Locked held;
    if (!system.output_grace_began_with) system.output_grace_began_with = system.files;
}

std::size_t write_console_utf8(Session& session, std::string_view bytes) { return write_console(session, bytes); }

// The status line of /Progress is tested on a real terminal.
bool console_is_terminal() { return false; }

bool utf8_files_begin_with_mark() {
    Locked held;
    return system.utf8_files_begin_with_mark;
}

FileHandle console_file() { return -1; }

bool shares_file_with_console(FileHandle file) {
    Locked held;
    return system.open_files[static_cast<std::size_t>(file)] == system.console_redirected_to;
}

LocalTime local_time_now() {
    Locked held;
    return system.local_time;
}

ErrorCode create_output_file(const std::u16string& path, OutputOpening opening, OwnedFile& file, bool& was_empty) {
    Locked held;
    if (path.empty() || system.uncreatable.count(path)) return 3;
    if (opening == OutputOpening::replace) system.files[path].clear();
    was_empty = system.files[path].empty();
    system.open_files.push_back(path);
    file = OwnedFile(static_cast<FileHandle>(system.open_files.size() - 1));
    return no_error;
}

ErrorCode write_file(Session&, FileHandle file, std::string_view bytes) {
    Locked held;
    const std::u16string& path = system.open_files[static_cast<std::size_t>(file)];
    if (auto failure = system.fail_write.find(path);
        failure != system.fail_write.end() && system.writes_before_failing[path]-- <= 0)
        return failure->second;
    system.files[path] += bytes;
    fake::changed.notify_all();  // for a hook waiting for a line
    return no_error;
}

bool same_file(FileHandle first, FileHandle second) {
    Locked held;
    return system.open_files[static_cast<std::size_t>(first)] == system.open_files[static_cast<std::size_t>(second)];
}

bool names_open_file(const std::u16string& path, FileHandle file) {
    Locked held;
    return system.files.count(path) && system.open_files[static_cast<std::size_t>(file)] == path;
}

void protect_output_file(Session&, FileHandle) {}

bool interruption_requested() {
    Locked held;
    return system.interrupted;
}
ErrorCode cancelled_error() { return 1223; }
void note_run_finished() {}
std::uint64_t monotonic_milliseconds() {
    Locked held;
    return system.milliseconds;
}

void close_file(FileHandle file) {
    Locked held;
    system.closed_files.push_back(system.open_files[static_cast<std::size_t>(file)]);
}

const char* missing_entry_point() {
    Locked held;
    if (system.missing_query_entry_point) return "NtQueryDirectoryFile";
    if (system.missing_status_entry_point) return "RtlNtStatusToDosError";
    return nullptr;
}

ErrorCode status_to_error(NativeStatus status) {
    Locked held;
    return static_cast<std::uint32_t>(status) == 0xC0000022u ? 5 : static_cast<std::uint32_t>(status) & 0xFFFF;
}

namespace {
std::u16string child_path(const Directory& parent, const DirectoryEntry& entry) {
    Locked held;
    return system.path_of[parent.id] + u"/" + entry.name;
}

ErrorCode open_at(const std::u16string& path, OwnedDirectory& opened) {
    Locked held;
    if (auto found = system.fail_open.find(path); found != system.fail_open.end()) return found->second;
    auto node = system.nodes.find(path);
    if (node == system.nodes.end()) return 2;
    if (system.open_directories >= system.open_limit) return fake::too_many_open;
    opened.reset(new Directory{node->second.id, {}, 0, false});
    if (++system.open_directories > system.most_open_directories)
        system.most_open_directories = system.open_directories;
    return no_error;
}

ErrorCode injected(const std::map<std::u16string, std::uint32_t>& failures, const std::u16string& path) {
    Locked held;
    auto found = failures.find(path);
    if (found == failures.end()) return no_error;
    auto left = system.failures_left.find(path);
    if (left != system.failures_left.end() && left->second-- <= 0) return no_error;
    return found->second;
}

ErrorCode remove_empty_directory(const std::u16string& path) {
    Locked held;
    if (ErrorCode error = injected(system.fail_remove, path)) return error;
    auto found = system.nodes.find(path);
    if (found == system.nodes.end()) return 2;
    if (!found->second.children.empty()) return 145;
    fake::remove_node(path);
    return no_error;
}

// A reopened directory must still be the one it was.
ErrorCode reopen_at(Directory& directory, const std::u16string& path) {
    Locked held;
    auto node = system.nodes.find(path);
    if (node == system.nodes.end()) return 2;
    if (node->second.id != directory.id) return fake::stale;
    if (system.open_directories >= system.open_limit) return fake::too_many_open;
    directory.released = false;
    directory.next = 0;
    if (++system.open_directories > system.most_open_directories)
        system.most_open_directories = system.open_directories;
    return no_error;
}
}  // namespace

struct Root {
    std::u16string path;
    std::uint64_t id = 0;
    OwnedDirectory directory;
};

void CloseDirectory::operator()(Directory* directory) const noexcept {
    Locked held;
    system.closed_directories.push_back(system.path_of[directory->id]);
    fake::changed.notify_all();  // for a hook waiting for it
    if (!directory->released) --system.open_directories;
    delete directory;
}

void CloseRoot::operator()(Root* root) const noexcept { delete root; }

ErrorCode working_directory(std::u16string& path) {
    Locked held;
    path = system.working_directory;
    if (path == u"?") return fake::denied;  // a working directory the user cannot search
    return path.empty() ? 2 : no_error;
}

bool names_directory(const std::u16string& path) {
    Locked held;
    auto node = system.nodes.find(path);
    return node != system.nodes.end() && (node->second.attributes & attribute_directory);
}

OpenedRoot open_root(const std::u16string& path, const Session*) {
    Locked held;
    OpenedRoot opened;
    opened.root.reset(new Root{path, 0, nullptr});
    auto node = system.nodes.find(path);
    if (node != system.nodes.end() && (node->second.attributes & attribute_reparse_point)) {
        opened.kind = RootKind::link;
        opened.root->id = node->second.id;
        return opened;
    }
    opened.error = open_at(path, opened.root->directory);
    opened.kind = opened.error ? RootKind::unopened : RootKind::directory;
    if (!opened.error) opened.root->id = opened.root->directory->id;
    return opened;
}

Directory* root_directory(Root& root) { return root.directory.get(); }

ErrorCode remove_root(Root& root) {
    Locked held;
    root.directory.reset();
    auto node = system.nodes.find(root.path);
    if (node != system.nodes.end() && node->second.id != root.id) return fake::stale;
    if (node != system.nodes.end() && (node->second.attributes & attribute_reparse_point)) {
        fake::remove_node(root.path);
        return no_error;
    }
    return remove_empty_directory(root.path);
}

ErrorCode open_subdirectory(Directory& parent, const DirectoryEntry& entry, OwnedDirectory& opened) {
    Locked held;
    if (system.before_opening) system.before_opening(child_path(parent, entry));
    return open_at(child_path(parent, entry), opened);
}

NativeStatus read_directory(Directory& directory, bool restart, DirectoryEntry& entry) {
    Locked held;
    const std::u16string& path = system.path_of[directory.id];
    system.listing_threads.insert(std::this_thread::get_id());
    system.milliseconds += system.milliseconds_per_entry;
    if (restart) {
        directory.names = system.nodes[path].children;
        directory.next = 0;
    }
    while (directory.next < directory.names.size()) {
        const std::u16string& name = directory.names[directory.next++];
        if (name == u"." || name == u"..") continue;  // never listed, as on both systems
        std::u16string child = path + u"/" + name;
        auto found = system.nodes.find(child);
        if (found == system.nodes.end()) continue;
        entry.attributes = found->second.attributes;
        entry.reparse_tag = found->second.reparse_tag;
        entry.end_of_file = found->second.size;
        entry.name = name;
        if (system.on_listing) system.on_listing(child);
        return 0;
    }
    auto error_status = system.listing_error.find(path);
    return error_status != system.listing_error.end() ? error_status->second : status_no_more_files;
}

void complete_entry(Directory&, DirectoryEntry&) {}

std::size_t directory_handle_budget() {
    Locked held;
    return system.directory_handle_budget;
}

bool out_of_handles(ErrorCode error) { return error == fake::too_many_open; }

void release_directory(Directory& directory) {
    Locked held;
    directory.released = true;
    --system.open_directories;
}

bool directory_released(const Directory& directory) { return directory.released; }

ErrorCode reopen_from_child(Directory& directory, Directory& child) {
    Locked held;
    const std::u16string& child_path_now = system.path_of[child.id];
    return reopen_at(directory, child_path_now.substr(0, child_path_now.rfind(u'/')));
}

ErrorCode reopen_from_parent(Directory& directory, Directory& parent, const DirectoryEntry& entry) {
    Locked held;
    return reopen_at(directory, child_path(parent, entry));
}

bool already_gone(ErrorCode error) { return error == fake::gone; }

bool listing_found_directory_gone(NativeStatus status) { return status == fake::listing_gone; }

bool access_denied(ErrorCode error) { return error == fake::denied; }

bool worth_retrying(ErrorCode error) {
    Locked held;
    return system.transient_errors.count(error) != 0;
}

void pause_milliseconds(unsigned milliseconds) {
    Locked held;
    system.pauses.push_back(milliseconds);
}

bool held_open(ErrorCode error) { return error == 32 || error == 33; }
bool not_empty(ErrorCode error) { return error == 145; }

ErrorCode holders_of(const std::u16string& path, std::vector<Holder>& holders) {
    Locked held;
    holders = system.holders[path];
    return injected(system.fail_holders, path);
}

ErrorCode delete_at_restart(const std::u16string& path) {
    Locked held;
    if (ErrorCode error = injected(system.fail_schedule, path)) return error;
    system.scheduled.push_back(path);
    return no_error;
}

ErrorCode clear_read_only(Directory& parent, const DirectoryEntry& entry) {
    Locked held;
    std::u16string path = child_path(parent, entry);
    if (ErrorCode error = injected(system.fail_clear, path)) return error;
    system.nodes[path].attributes &= ~attribute_read_only;
    return no_error;
}

ErrorCode delete_file(Directory& parent, const DirectoryEntry& entry, DeletionForm form) {
    Locked held;
    std::u16string path = child_path(parent, entry);
    if (system.before_deleting) system.before_deleting(path);
    system.deletion_forms.push_back(form);
    if (form == DeletionForm::ignoring_read_only) {
        if (system.refuse_ignoring_read_only) return deletion_form_refused;
        if (ErrorCode error = injected(system.fail_delete, path)) return error;
        fake::remove_node(path);
        return no_error;
    }
    if (ErrorCode error = injected(system.fail_delete, path)) return error;
    if (system.nodes[path].attributes & attribute_read_only) return 5;
    fake::remove_node(path);
    return no_error;
}

ErrorCode remove_directory(Directory& parent, const DirectoryEntry& entry, DeletionForm form) {
    Locked held;
    if (form == DeletionForm::ignoring_read_only && system.refuse_ignoring_read_only) return deletion_form_refused;
    if (system.before_removing) system.before_removing(child_path(parent, entry));
    return remove_empty_directory(child_path(parent, entry));
}

ErrorCode foreseen_refusal(Directory&, const DirectoryEntry&) { return no_error; }

ErrorCode confirm_emptied(Root&) { return no_error; }

void CloseToken::operator()(TokenHandle) const noexcept {}

ErrorCode open_process_token(OwnedToken& token) {
    Locked held;
    if (system.fail_open_token) return system.fail_open_token;
    token.reset(&system);
    return no_error;
}

ErrorCode lookup_privilege(const char* name, PrivilegeId& id) {
    Locked held;
    auto found = system.fail_lookup.find(name);
    if (found != system.fail_lookup.end()) return found->second;
    system.looked_up.push_back(name);
    id.low = static_cast<std::uint32_t>(system.looked_up.size() - 1);
    return no_error;
}

ErrorCode enable_privilege(TokenHandle, PrivilegeId id, bool& held) {
    Locked locked;
    const std::string& name = system.looked_up[id.low];
    auto found = system.fail_adjust.find(name);
    if (found != system.fail_adjust.end()) return found->second;
    held = !system.not_held.count(name);
    if (held) system.enabled_privileges.push_back(name);
    return no_error;
}

ErrorCode close_token(OwnedToken& token) {
    Locked held;
    token.reset();
    return system.fail_close_token ? 6 : no_error;
}

}  // namespace scythe::platform

namespace scythe::platform {

// The standard records live in the state the header sets aside, as the
// system's do in the real platform layers.
static_assert(sizeof(std::recursive_mutex) <= sizeof(Mutex) && alignof(std::recursive_mutex) <= alignof(Mutex));
static_assert(sizeof(std::condition_variable_any) <= sizeof(Condition) &&
              alignof(std::condition_variable_any) <= alignof(Condition));

Mutex::Mutex() { new (state_) std::recursive_mutex; }
Mutex::~Mutex() { reinterpret_cast<std::recursive_mutex*>(state_)->~recursive_mutex(); }
void Mutex::lock() { reinterpret_cast<std::recursive_mutex*>(state_)->lock(); }
void Mutex::unlock() { reinterpret_cast<std::recursive_mutex*>(state_)->unlock(); }

Condition::Condition() { new (state_) std::condition_variable_any; }
Condition::~Condition() { reinterpret_cast<std::condition_variable_any*>(state_)->~condition_variable_any(); }
void Condition::wait(Mutex& mutex) {
    auto& lock = *reinterpret_cast<std::recursive_mutex*>(mutex.state_);
    std::unique_lock<std::recursive_mutex> held(lock, std::adopt_lock);
    reinterpret_cast<std::condition_variable_any*>(state_)->wait(held);
    held.release();
}
void Condition::wait_for(Mutex& mutex, unsigned milliseconds) {
    auto& lock = *reinterpret_cast<std::recursive_mutex*>(mutex.state_);
    std::unique_lock<std::recursive_mutex> held(lock, std::adopt_lock);
    reinterpret_cast<std::condition_variable_any*>(state_)->wait_for(held, std::chrono::milliseconds(milliseconds));
    held.release();
}
void Condition::notify_all() { reinterpret_cast<std::condition_variable_any*>(state_)->notify_all(); }

struct Thread {
    std::thread thread;
};

void JoinThread::operator()(Thread* thread) const noexcept {
    thread->thread.join();
    delete thread;
}

OwnedThread start_thread(std::function<void()> body) {
    return OwnedThread(new Thread{std::thread(std::move(body))});
}

unsigned logical_processors() {
    Locked held;
    return fake::system.logical_processors;
}

}  // namespace scythe::platform
