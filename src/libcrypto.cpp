#include "py_compat.h"

#include "libcrypto.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <link.h>

#include "py_ref.h"

namespace korvane {

Libcrypto libcrypto = {};

namespace {

bool bound = false;

// What stands in for a function that a generation lacks, as its headers
// made of the call: from 1.1 on RAND_cleanup() is gone (the library erases
// its own state), 3.0 has no function texts, and a library that loads its
// error texts by itself has nothing to be asked.
void cleanup_left_to_the_library() {}
const char *no_function_text(unsigned long /*code*/) {
    return nullptr;
}
void texts_loaded_already() {}

using AnyFunction = void (*)();

// One entry of the table: the function's name, the member of `libcrypto`
// that receives its address, and what stands in where the library lacks
// it (null: the module cannot do without it).
struct Entry {
    const char *name;
    void *slot;
    AnyFunction stand_in;
};

template <typename Function> Entry required(const char *name, Function **slot) {
    return {name, slot, nullptr};
}

template <typename Function> Entry optional(const char *name, Function **slot, Function *stand_in) {
    return {name, slot, reinterpret_cast<AnyFunction>(stand_in)};
}

constexpr size_t entry_count = 13;

// The table's names, and the addresses that one way of looking them up
// found for them (null where it found none).
struct Table {
    Entry entries[entry_count];
    const void *addresses[entry_count];
};

Table empty_table() {
    return {
        {
            required("RAND_add", &libcrypto.RAND_add),
            required("RAND_seed", &libcrypto.RAND_seed),
            required("RAND_status", &libcrypto.RAND_status),
            optional("RAND_cleanup", &libcrypto.RAND_cleanup, &cleanup_left_to_the_library),
            required("RAND_load_file", &libcrypto.RAND_load_file),
            required("RAND_write_file", &libcrypto.RAND_write_file),
            required("RAND_bytes", &libcrypto.RAND_bytes),
            required("ERR_get_error", &libcrypto.ERR_get_error),
            required("ERR_lib_error_string", &libcrypto.ERR_lib_error_string),
            optional("ERR_func_error_string", &libcrypto.ERR_func_error_string, &no_function_text),
            required("ERR_reason_error_string", &libcrypto.ERR_reason_error_string),
            optional("ERR_load_RAND_strings", &libcrypto.ERR_load_RAND_strings,
                     &texts_loaded_already),
            required("OPENSSL_cleanse", &libcrypto.OPENSSL_cleanse),
        },
        {}};
}

// The entry of RAND_bytes, which every libcrypto has and the module cannot
// do without: where a lookup finds it, that lookup reaches a libcrypto.
constexpr size_t marker = 6;

// Every function pointer has one size and representation here (POSIX
// needs it of dlsym), so an address is copied into its typed member.
void fill(void *slot, const void *address) {
    std::memcpy(slot, &address, sizeof address);
}
void fill(void *slot, AnyFunction address) {
    std::memcpy(slot, &address, sizeof address);
}

// The loaded object that holds `address`: where it starts, and its file.
struct Object {
    uintptr_t base;
    const char *file;
};

struct Search {
    uintptr_t address;
    Object found;
};

int find_object(dl_phdr_info *info, size_t /*size*/, void *data) {
    auto *search = static_cast<Search *>(data);
    uintptr_t base = 0;
    for (int index = 0; index < info->dlpi_phnum; ++index) {
        const ElfW(Phdr) &segment = info->dlpi_phdr[index];
        if (segment.p_type != PT_LOAD) {
            continue;
        }
        const uintptr_t start = info->dlpi_addr + segment.p_vaddr;
        base = base != 0 ? base : start;
        if (search->address >= start && search->address - start < segment.p_memsz) {
            const bool named = info->dlpi_name != nullptr && info->dlpi_name[0] != '\0';
            search->found = {base, named ? info->dlpi_name : "the executable"};
            return 1;
        }
    }
    return 0;
}

// Asked of the loader's list of objects, not of dladdr, which also looks
// for the nearest symbol through every symbol of the object: libcrypto
// has thousands, and the module asks this of every function it binds.
Object object_of(const void *address) {
    Search search = {reinterpret_cast<uintptr_t>(address), {0, "libcrypto"}};
    if (address != nullptr) {
        dl_iterate_phdr(&find_object, &search);
    }
    return search.found;
}

// Looks every name up as the loader resolves the references of an object
// whose own dependencies `own` stands for: in the global scope first (the
// executable and what it was linked with, LD_PRELOAD, objects loaded for
// all to see), then in those dependencies. Either handle may be null.
// Returns the index of the first required name found nowhere, or
// entry_count when every one was found.
size_t look_up(Table *table, void *global, void *own) {
    size_t missing = entry_count;
    for (size_t index = 0; index < entry_count; ++index) {
        const char *name = table->entries[index].name;
        const void *address = global != nullptr ? dlsym(global, name) : nullptr;
        if (address == nullptr && own != nullptr) {
            address = dlsym(own, name);
        }
        table->addresses[index] = address;
        if (address == nullptr && table->entries[index].stand_in == nullptr &&
            missing == entry_count) {
            missing = index;
        }
    }
    return missing;
}

// A new handle of the object, already loaded: a reference of its own to
// it. Null for the executable, which the loader knows by no file name and
// never unloads.
void *handle_of(const Object &object) {
    return dlopen(object.file, RTLD_LAZY | RTLD_NOLOAD);
}

// Whether the object defines every required name itself: a libcrypto,
// not a library that defines a few of its names (an interposer, or an
// OpenSSL-compatible wrapper of another library).
bool is_whole_libcrypto(const Object &object) {
    void *handle = handle_of(object);
    if (handle == nullptr) {
        handle = dlopen(nullptr, RTLD_LAZY);
    }
    Table table = empty_table();
    look_up(&table, nullptr, handle);
    dlclose(handle);
    for (size_t index = 0; index < entry_count; ++index) {
        if (table.entries[index].stand_in == nullptr &&
            object_of(table.addresses[index]).base != object.base) {
            return false;
        }
    }
    return true;
}

// The distinct objects that a table's addresses lie in (the libcrypto of
// the interpreter's module, where it has one, too), and which of them
// are whole libcryptos.
struct Objects {
    Object all[entry_count + 1];
    size_t count;
    Object whole[entry_count + 1];
    size_t whole_count;
};

void add(Objects *objects, const Object &object) {
    for (size_t index = 0; index < objects->count; ++index) {
        if (objects->all[index].base == object.base) {
            return;
        }
    }
    objects->all[objects->count++] = object;
    if (is_whole_libcrypto(object)) {
        objects->whole[objects->whole_count++] = object;
    }
}

Objects objects_of(const Table &table, const void *own_libcrypto) {
    Objects objects = {};
    if (own_libcrypto != nullptr) {
        add(&objects, object_of(own_libcrypto));
    }
    for (const void *address : table.addresses) {
        if (address != nullptr) {
            add(&objects, object_of(address));
        }
    }
    return objects;
}

// True when the table may take its functions from these objects: one
// library alone; or, for the interpreter's module, one libcrypto and the
// libraries that the loader puts before it for that module (an
// LD_PRELOAD interposer), since the module's ssl calls through them too.
// Otherwise false, with ImportError naming two of them: two libcryptos
// (which one the interpreter's ssl calls depends on symbol versions that
// the module does not read), or parts of libcrypto's interface from
// several libraries with no interpreter module to say which it calls.
bool is_one_generator(const Objects &objects, bool for_interpreter_module) {
    if (objects.count == 1 || (for_interpreter_module && objects.whole_count == 1)) {
        return true;
    }
    const Object &first = objects.whole_count > 0 ? objects.whole[0] : objects.all[0];
    const Object &second = objects.whole_count > 1             ? objects.whole[1]
                           : objects.all[0].base != first.base ? objects.all[0]
                                                               : objects.all[1];
    PyErr_Format(PyExc_ImportError,
                 "Korvane.rand cannot tell which libcrypto this process uses: %s and %s both "
                 "define its functions, and nothing says which one the interpreter's ssl "
                 "calls; load only one of them",
                 first.file, second.file);
    return false;
}

// Fills the libcrypto table from `table`, and keeps every object it
// takes from loaded for good: the module calls them for the life of the
// process, whoever else closes them.
void fill_and_hold(const Table &table, const Objects &objects) {
    for (size_t index = 0; index < entry_count; ++index) {
        if (table.addresses[index] != nullptr) {
            fill(table.entries[index].slot, table.addresses[index]);
        } else {
            fill(table.entries[index].slot, table.entries[index].stand_in);
        }
    }
    for (size_t index = 0; index < objects.count; ++index) {
        handle_of(objects.all[index]);
    }
    bound = true;
}

// Binds to the library that `handle` stands for, which must define every
// required name itself; false, with nothing pending, if it does not.
bool bind_whole(void *handle) {
    Table table = empty_table();
    if (look_up(&table, nullptr, handle) != entry_count) {
        return false;
    }
    const Objects objects = objects_of(table, nullptr);
    if (objects.count != 1 || objects.whole_count != 1) {
        return false;
    }
    fill_and_hold(table, objects);
    return true;
}

// The interpreter's module through which its ssl reaches libcrypto: _ssl,
// else _hashlib (which draws nothing, but maps the libcrypto of an
// interpreter built without _ssl), imported as `import _ssl` would.
struct InterpreterModule {
    const char *name;
    // Its file's name as the file system has it (a byte string), null for
    // a module built into the executable.
    PyRef file;
    // Its handle, which resolves names in its own dependencies.
    void *handle;
};

constexpr const char *interpreter_modules[] = {"_ssl", "_hashlib"};

// False, with the exception pending, only when an import failed for
// another reason than the module's absence.
bool import_interpreter_module(InterpreterModule *found) {
    for (const char *name : interpreter_modules) {
        const PyRef module(PyImport_ImportModule(name));
        if (!module) {
            if (!PyErr_ExceptionMatches(PyExc_ImportError)) {
                return false;
            }
            PyErr_Clear();
            continue;
        }
        found->name = name;
        const PyRef text(PyObject_GetAttrString(module.get(), "__file__"));
        PyRef file(text ? korvane::file_system_path(text.get()) : nullptr);
        const char *path = file ? PyBytes_AsString(file.get()) : nullptr;
        if (path == nullptr) {
            PyErr_Clear();
            return true;
        }
        // The interpreter loads a file named without a directory from the
        // current one, by this name.
        if (std::strchr(path, '/') == nullptr) {
            file = PyRef(PyBytes_FromFormat("./%s", path));
            path = file ? PyBytes_AsString(file.get()) : nullptr;
            if (path == nullptr) {
                return false;
            }
        }
        found->handle = dlopen(path, RTLD_LAZY | RTLD_NOLOAD);
        found->file = static_cast<PyRef &&>(file);
        return true;
    }
    return true;
}

// The names of the loaded objects, each ended by a NUL, for the case that
// no interpreter module leads to a libcrypto: one that some other library
// brought along. Collected first and asked after, so that no dlopen runs
// while the loader lists its objects.
struct LoadedObjects {
    char *names;
    size_t size;
    size_t capacity;
    bool complete;
};

int note_object(dl_phdr_info *info, size_t /*size*/, void *data) {
    auto *objects = static_cast<LoadedObjects *>(data);
    if (info->dlpi_name == nullptr || info->dlpi_name[0] == '\0') {
        return 0;
    }
    const size_t length = std::strlen(info->dlpi_name) + 1;
    if (objects->size + length > objects->capacity) {
        const size_t capacity = 2 * (objects->capacity + length);
        auto *names = static_cast<char *>(std::realloc(objects->names, capacity));
        if (names == nullptr) {
            objects->complete = false;
            return 1;
        }
        objects->names = names;
        objects->capacity = capacity;
    }
    // memmove: x86-64 glibc's memcpy of a length not known here is
    // GLIBC_2.14, newer than the x86-64 wheel's glibc 2.5.
    std::memmove(objects->names + objects->size, info->dlpi_name, length);
    objects->size += length;
    return 0;
}

// Binds to the first loaded object that is a whole libcrypto; false if
// there is none, with MemoryError pending if the list could not be made.
bool bind_any_loaded_libcrypto() {
    LoadedObjects objects = {nullptr, 0, 0, true};
    dl_iterate_phdr(&note_object, &objects);
    bool done = false;
    for (size_t at = 0; at < objects.size && !done; at += std::strlen(objects.names + at) + 1) {
        void *handle = dlopen(objects.names + at, RTLD_LAZY | RTLD_NOLOAD);
        if (handle != nullptr) {
            done = dlsym(handle, "RAND_bytes") != nullptr && bind_whole(handle);
            dlclose(handle);
        }
    }
    std::free(objects.names);
    if (!done && !objects.complete) {
        PyErr_NoMemory();
    }
    return done;
}

// Tried, newest first, where no lookup reaches a libcrypto. Loaded for the
// module alone: a library loaded later must still bind its own.
constexpr const char *known_sonames[] = {"libcrypto.so.3", "libcrypto.so.1.1", "libcrypto.so.1.0.2",
                                         "libcrypto.so.1.0.0", "libcrypto.so.10"};

bool bind_newest_libcrypto() {
    for (const char *soname : known_sonames) {
        void *handle = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            continue;
        }
        const bool done = bind_whole(handle);
        dlclose(handle);
        if (done) {
            return true;
        }
    }
    PyErr_SetString(PyExc_ImportError,
                    "Korvane.rand needs libcrypto: this process has none loaded, and none of "
                    "libcrypto.so.3, .so.1.1, .so.1.0.2, .so.1.0.0 or .so.10 can be loaded; "
                    "install OpenSSL's libcrypto (Debian's libssl3 or libssl1.1, RHEL's "
                    "openssl-libs)");
    return false;
}

// Where the interpreter's module has a libcrypto that no lookup reaches
// (linked in statically and hidden, or in an executable that does not
// export it): the module still serves, with a libcrypto loaded by soname,
// and says that the program now has two generators.
bool bind_beside_unreachable(const InterpreterModule &module) {
    if (!bind_newest_libcrypto()) {
        return false;
    }
    const char *where = module.file ? PyBytes_AsString(module.file.get()) : "built in";
    const PyRef message(PyBytes_FromFormat(
        "Korvane.rand cannot reach the libcrypto of the interpreter's %s (%s), linked in "
        "statically or not exported; it uses %s instead, a second generator, which ssl does "
        "not share. To have one, build the interpreter's ssl against a shared libcrypto, or load "
        "its libcrypto for all to see (ctypes.RTLD_GLOBAL) before importing Korvane.rand",
        module.name, where != nullptr ? where : "?",
        object_of(reinterpret_cast<const void *>(libcrypto.RAND_bytes)).file));
    // A program that turns the warning into an error gets no binding: the
    // next attempt warns again.
    if (!message || PyErr_WarnEx(PyExc_RuntimeWarning, PyBytes_AsString(message.get()), 1) != 0) {
        bound = false;
        return false;
    }
    return true;
}

// The names as the loader resolves them for the interpreter's module:
// the functions its ssl calls.
bool bind_as_interpreter_module(const InterpreterModule &module, void *global) {
    Table table = empty_table();
    const size_t missing = look_up(&table, global, module.handle);
    const void *own_libcrypto =
        module.handle != nullptr ? dlsym(module.handle, table.entries[marker].name) : nullptr;
    if (table.addresses[marker] == nullptr ||
        (missing != entry_count && own_libcrypto == nullptr)) {
        return bind_beside_unreachable(module);
    }
    if (missing != entry_count) {
        PyErr_Format(PyExc_ImportError, "Korvane.rand cannot use %s: it has no %s",
                     object_of(own_libcrypto).file, table.entries[missing].name);
        return false;
    }
    const Objects objects = objects_of(table, own_libcrypto);
    if (!is_one_generator(objects, true)) {
        return false;
    }
    fill_and_hold(table, objects);
    return true;
}

// Without an interpreter module: the executable's libcrypto (what it was
// linked with, or has loaded for all to see), else any loaded libcrypto,
// else the newest one the loader opens.
bool bind_without_interpreter_module(void *global) {
    Table table = empty_table();
    if (look_up(&table, global, nullptr) == entry_count) {
        const Objects objects = objects_of(table, nullptr);
        if (!is_one_generator(objects, false)) {
            return false;
        }
        fill_and_hold(table, objects);
        return true;
    }
    return bind_any_loaded_libcrypto() || (!PyErr_Occurred() && bind_newest_libcrypto());
}

} // namespace

bool bind_libcrypto() {
    if (bound) {
        return true;
    }
    InterpreterModule module = {nullptr, PyRef(), nullptr};
    if (!import_interpreter_module(&module)) {
        return false;
    }
    void *global = dlopen(nullptr, RTLD_LAZY);
    return module.name != nullptr ? bind_as_interpreter_module(module, global)
                                  : bind_without_interpreter_module(global);
}

} // namespace korvane
