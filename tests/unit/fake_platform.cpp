#include "fake_platform.h"

#include <algorithm>

namespace fake {

System system;

namespace {

std::u16string parent_of(const std::u16string& path) { return path.substr(0, path.rfind(u'/')); }
std::u16string name_of(const std::u16string& path) { return path.substr(path.rfind(u'/') + 1); }

void add_node(const std::u16string& path, Node node) {
    system.nodes[parent_of(path)].children.push_back(name_of(path));
    system.nodes[path] = std::move(node);
}

}  // namespace

void remove_node(const std::u16string& path) {
    auto parent = system.nodes.find(parent_of(path));
    if (parent != system.nodes.end()) {
        auto& siblings = parent->second.children;
        siblings.erase(std::find(siblings.begin(), siblings.end(), name_of(path)));
    }
    system.nodes.erase(path);
}

void reset(const std::u16string& root) {
    system = System{};
    system.nodes[root] = Node{scythe::platform::attribute_directory, 0, {}};
}

void add_directory(const std::u16string& path, std::uint32_t extra_attributes) {
    add_node(path, Node{scythe::platform::attribute_directory | extra_attributes, 0, {}});
}

void add_file(const std::u16string& path, std::uint64_t size, std::uint32_t extra_attributes) {
    add_node(path, Node{extra_attributes, size, {}});
}

bool exists(const std::u16string& path) { return system.nodes.count(path) != 0; }

}  // namespace fake

namespace scythe::platform {

using fake::system;

namespace {
ErrorCode error = 0;

bool fail(ErrorCode code) {
    error = code;
    return false;
}

// The injected failure for path, if any, becomes the last error.
bool injected(const std::map<std::u16string, std::uint32_t>& failures, const std::u16string& path) {
    auto found = failures.find(path);
    return found != failures.end() && !fail(found->second);
}
}  // namespace

struct Directory {
    std::u16string path;
    std::vector<std::u16string> names;  // as listed when the scan started
    std::size_t next = 0;
};

ErrorCode last_error() { return error; }

std::u16string error_message(ErrorCode code) {
    switch (code) {
        case 2: return u"The system cannot find the file specified.\r\n";
        case 5: return u"Access is denied.\r\n";
        case 145: return u"The directory is not empty.\r\n";
        case 1234: return u"First line of the text.\r\nSecond line.\r\n";
        case 1300: return u"Not all privileges referenced are assigned to the caller.\r\n";
        default: return u"";
    }
}

void prepare_process() {}
int exit_status(int result) { return result; }

std::int64_t wall_clock_seconds() {
    std::int64_t now = system.clock;
    system.clock += system.clock_step;
    return now;
}

std::u16string decode_native_bytes(std::string_view bytes) { return std::u16string(bytes.begin(), bytes.end()); }
std::string to_native_bytes(std::u16string_view text) { return std::string(text.begin(), text.end()); }
bool is_file_system_root(const std::u16string&) { return false; }

void write_console(std::string_view bytes) { system.console += bytes; }

bool create_output_file(const std::u16string& path, FileHandle& file) {
    if (path.empty() || system.uncreatable.count(path)) return fail(3);
    system.files[path].clear();
    system.open_files.push_back(path);
    file = static_cast<FileHandle>(system.open_files.size() - 1);
    return true;
}

void write_file(FileHandle file, std::string_view bytes) {
    system.files[system.open_files[static_cast<std::size_t>(file)]] += bytes;
}

void close_file(FileHandle file) { system.closed_files.push_back(system.open_files[static_cast<std::size_t>(file)]); }

bool bind_entry_point(EntryPoint which) {
    return which == EntryPoint::query_directory ? !system.missing_query_entry_point
                                                : !system.missing_status_entry_point;
}

ErrorCode status_to_error(NativeStatus status) {
    return static_cast<std::uint32_t>(status) == 0xC0000022u ? 5 : static_cast<std::uint32_t>(status) & 0xFFFF;
}

namespace {
Directory* open_at(const std::u16string& path) {
    if (injected(system.fail_open, path)) return nullptr;
    auto found = system.nodes.find(path);
    if (found == system.nodes.end()) return fail(2), nullptr;
    return new Directory{path, {}, 0};
}
}  // namespace

Directory* open_directory(const std::u16string& path) { return open_at(path); }

Directory* open_subdirectory(Directory&, const DirectoryEntry&, const std::u16string& path) {
    return open_at(path);
}

NativeStatus read_directory(Directory& directory, bool restart, DirectoryEntry& entry) {
    if (restart) {
        directory.names = system.nodes[directory.path].children;
        directory.next = 0;
    }
    while (directory.next < directory.names.size()) {
        std::u16string path = directory.path + u"/" + directory.names[directory.next++];
        auto found = system.nodes.find(path);
        if (found == system.nodes.end()) continue;
        entry.attributes = found->second.attributes;
        entry.end_of_file = found->second.size;
        entry.name = directory.names[directory.next - 1];
        return 0;
    }
    auto error_status = system.listing_error.find(directory.path);
    return error_status != system.listing_error.end() ? error_status->second : status_no_more_files;
}

void complete_entry(Directory&, DirectoryEntry&) {}

void close_directory(Directory* directory) {
    system.closed_directories.push_back(directory->path);
    delete directory;
}

bool clear_read_only(Directory&, const DirectoryEntry&, const std::u16string& path) {
    if (injected(system.fail_clear, path)) return false;
    system.nodes[path].attributes &= ~attribute_read_only;
    return true;
}

bool delete_file(Directory&, const DirectoryEntry&, const std::u16string& path) {
    if (injected(system.fail_delete, path)) return false;
    if (system.nodes[path].attributes & attribute_read_only) return fail(5);
    fake::remove_node(path);
    return true;
}

namespace {
bool remove_empty_directory(const std::u16string& path) {
    if (injected(system.fail_remove, path)) return false;
    auto found = system.nodes.find(path);
    if (found == system.nodes.end()) return fail(2);
    if (!found->second.children.empty()) return fail(145);
    fake::remove_node(path);
    return true;
}
}  // namespace

bool remove_directory(Directory&, const DirectoryEntry&, const std::u16string& path) {
    return remove_empty_directory(path);
}

bool remove_root_directory(const std::u16string& path) { return remove_empty_directory(path); }

bool open_process_token(TokenHandle& token) {
    if (system.fail_open_token) return fail(system.fail_open_token);
    token = &system;
    return true;
}

bool lookup_privilege(const char* name, PrivilegeId& id) {
    auto found = system.fail_lookup.find(name);
    if (found != system.fail_lookup.end()) return fail(found->second);
    system.looked_up.push_back(name);
    id.low = static_cast<std::uint32_t>(system.looked_up.size() - 1);
    return true;
}

bool enable_privilege(TokenHandle, PrivilegeId id) {
    const std::string& name = system.looked_up[id.low];
    auto found = system.fail_adjust.find(name);
    if (found != system.fail_adjust.end()) return fail(found->second);
    system.enabled_privileges.push_back(name);
    return true;
}

bool close_token(TokenHandle) { return system.fail_close_token ? fail(6) : true; }

}  // namespace scythe::platform
