#include "py_compat.h"

#include "libcrypto.h"

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

// Every function pointer has one size and representation here (POSIX
// needs it of dlsym), so an address is copied into its typed member.
void fill(void *slot, const void *address) {
    std::memcpy(slot, &address, sizeof address);
}
void fill(void *slot, AnyFunction address) {
    std::memcpy(slot, &address, sizeof address);
}

// The one symbol every libcrypto has and the module cannot do without:
// where a handle resolves it is the libcrypto that handle stands for.
constexpr char marker[] = "RAND_bytes";

// A handle of the interpreter's extension module `name`, if it is loaded
// from a file of its own: a handle of an object already loaded resolves
// names in that object's own dependencies, its libcrypto among them.
void *handle_of_loaded_module(const char *name) {
    PyObject *module = PyDict_GetItemString(PyImport_GetModuleDict(), name);
    if (module == nullptr) {
        return nullptr;
    }
    const PyRef file(PyObject_GetAttrString(module, "__file__"));
    const PyRef encoded(file ? korvane::file_system_path(file.get()) : nullptr);
    const char *path = encoded ? PyBytes_AsString(encoded.get()) : nullptr;
    // Built into the executable, the module has no file: the executable's
    // own libcrypto is asked for below.
    if (path == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    return dlopen(path, RTLD_LAZY | RTLD_NOLOAD);
}

// The names of the objects loaded, for the case that no interpreter module
// leads to a libcrypto: one that some other library brought along.
// Collected first and asked after, so that no dlopen runs while the loader
// lists its objects.
constexpr int most_objects = 512;
struct LoadedObjects {
    const char *names[most_objects];
    int count;
};

int note_object(dl_phdr_info *info, size_t /*size*/, void *data) {
    auto *objects = static_cast<LoadedObjects *>(data);
    if (info->dlpi_name != nullptr && info->dlpi_name[0] != '\0' && objects->count < most_objects) {
        objects->names[objects->count++] = info->dlpi_name;
    }
    return 0;
}

void *handle_of_any_loaded_libcrypto() {
    LoadedObjects objects = {};
    dl_iterate_phdr(&note_object, &objects);
    for (int index = 0; index < objects.count; ++index) {
        void *handle = dlopen(objects.names[index], RTLD_LAZY | RTLD_NOLOAD);
        if (handle != nullptr && dlsym(handle, marker) != nullptr) {
            return handle;
        }
        if (handle != nullptr) {
            dlclose(handle);
        }
    }
    return nullptr;
}

// Tried, newest first, only where the process has no libcrypto at all.
constexpr const char *known_sonames[] = {"libcrypto.so.3", "libcrypto.so.1.1", "libcrypto.so.1.0.2",
                                         "libcrypto.so.1.0.0", "libcrypto.so.10"};

void *handle_of_newest_libcrypto() {
    for (const char *soname : known_sonames) {
        void *handle = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
        if (handle != nullptr && dlsym(handle, marker) != nullptr) {
            return handle;
        }
        if (handle != nullptr) {
            dlclose(handle);
        }
    }
    return nullptr;
}

// The handle whose libcrypto the module takes: the interpreter's _hashlib,
// else its _ssl, else the executable's (with whatever it was linked with
// or loaded for all to see), else whichever loaded object has one; null
// when the process has none.
constexpr const char *interpreter_modules[] = {"_hashlib", "_ssl"};

void *handle_of_process_libcrypto() {
    for (const char *module : interpreter_modules) {
        void *handle = handle_of_loaded_module(module);
        if (handle != nullptr && dlsym(handle, marker) != nullptr) {
            return handle;
        }
        if (handle != nullptr) {
            dlclose(handle);
        }
    }
    void *executable = dlopen(nullptr, RTLD_LAZY);
    if (executable != nullptr && dlsym(executable, marker) != nullptr) {
        return executable;
    }
    return handle_of_any_loaded_libcrypto();
}

// The file that defines `address`, for messages.
const char *file_of(const void *address) {
    Dl_info info = {};
    return dladdr(address, &info) != 0 && info.dli_fname != nullptr ? info.dli_fname : "libcrypto";
}

} // namespace

bool bind_libcrypto() {
    if (bound) {
        return true;
    }
    void *handle = handle_of_process_libcrypto();
    if (handle == nullptr) {
        handle = handle_of_newest_libcrypto();
    }
    if (handle == nullptr) {
        PyErr_SetString(PyExc_ImportError,
                        "Korvane.rand needs libcrypto: this process has none loaded, and none of "
                        "libcrypto.so.3, .so.1.1, .so.1.0.2, .so.1.0.0 or .so.10 can be loaded; "
                        "install OpenSSL's libcrypto (Debian's libssl3 or libssl1.1, RHEL's "
                        "openssl-libs)");
        return false;
    }
    const Entry entries[] = {
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
        optional("ERR_load_RAND_strings", &libcrypto.ERR_load_RAND_strings, &texts_loaded_already),
        required("OPENSSL_cleanse", &libcrypto.OPENSSL_cleanse),
    };
    // Each name is looked up once, and the whole table checked before any
    // entry is filled: a table is complete or empty.
    constexpr size_t count = sizeof entries / sizeof entries[0];
    const void *addresses[count] = {};
    for (size_t index = 0; index < count; ++index) {
        addresses[index] = dlsym(handle, entries[index].name);
        if (addresses[index] == nullptr && entries[index].stand_in == nullptr) {
            PyErr_Format(PyExc_ImportError, "Korvane.rand cannot use %s: it has no %s",
                         file_of(dlsym(handle, marker)), entries[index].name);
            return false;
        }
    }
    for (size_t index = 0; index < count; ++index) {
        if (addresses[index] != nullptr) {
            fill(entries[index].slot, addresses[index]);
        } else {
            fill(entries[index].slot, entries[index].stand_in);
        }
    }
    bound = true;
    return true;
}

} // namespace korvane
