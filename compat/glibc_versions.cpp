// Binds the release module to glibc symbol versions no newer than 2.28, so
// that one wheel loads on every distribution with glibc 2.28 or later.
//
// glibc 2.34 moved the threading functions from libpthread into libc and gave
// them new version nodes; a module linked against 2.34 or later therefore
// asks for pthread_create@GLIBC_2.34 and the like, which older systems lack.
// The linker is told to send every reference to those functions (ours and
// those of the statically linked C++ runtime) to the __wrap_ functions below
// (-Wl,--wrap=NAME, see CMakeLists.txt), which call the long-standing
// versions. Each old version is still exported by current glibc, so the
// module behaves the same on new systems.
//
// Two more references come from the static C++ runtime:
// - __libc_single_threaded (glibc 2.32): the runtime reads it to skip atomic
//   reference counting while a process has one thread. The substitute always
//   says "more than one thread", which is always correct, and this module runs
//   a worker pool anyway.
// - arc4random (glibc 2.36) and getentropy (2.25): used only by
//   std::random_device, which the module never constructs; the substitutes
//   ask the kernel's getrandom system call directly.
//
// Built only into the release module on x86-64 Linux; the sanitized build
// links the shared runtime unchanged.
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

#define KILN_OLD_VERSION(local, symbol, version) \
    __asm__(".symver " #local ", " #symbol "@" #version)

extern "C" {

int kiln_old_pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
int kiln_old_pthread_attr_setstacksize(pthread_attr_t*, size_t);
int kiln_old_pthread_setname_np(pthread_t, const char*);
int kiln_old_pthread_once(pthread_once_t*, void (*)());
int kiln_old_pthread_key_create(pthread_key_t*, void (*)(void*));
int kiln_old_pthread_key_delete(pthread_key_t);
void* kiln_old_pthread_getspecific(pthread_key_t);
int kiln_old_pthread_setspecific(pthread_key_t, const void*);

KILN_OLD_VERSION(kiln_old_pthread_create, pthread_create, GLIBC_2.2.5);
KILN_OLD_VERSION(kiln_old_pthread_attr_setstacksize, pthread_attr_setstacksize, GLIBC_2.2.5);
KILN_OLD_VERSION(kiln_old_pthread_setname_np, pthread_setname_np, GLIBC_2.12);
KILN_OLD_VERSION(kiln_old_pthread_once, pthread_once, GLIBC_2.2.5);
KILN_OLD_VERSION(kiln_old_pthread_key_create, pthread_key_create, GLIBC_2.2.5);
KILN_OLD_VERSION(kiln_old_pthread_key_delete, pthread_key_delete, GLIBC_2.2.5);
KILN_OLD_VERSION(kiln_old_pthread_getspecific, pthread_getspecific, GLIBC_2.2.5);
KILN_OLD_VERSION(kiln_old_pthread_setspecific, pthread_setspecific, GLIBC_2.2.5);

int __wrap_pthread_create(pthread_t* thread, const pthread_attr_t* attr,
                          void* (*start)(void*), void* arg) {
    return kiln_old_pthread_create(thread, attr, start, arg);
}

int __wrap_pthread_attr_setstacksize(pthread_attr_t* attr, size_t size) {
    return kiln_old_pthread_attr_setstacksize(attr, size);
}

int __wrap_pthread_setname_np(pthread_t thread, const char* name) {
    return kiln_old_pthread_setname_np(thread, name);
}

int __wrap_pthread_once(pthread_once_t* once, void (*init)()) {
    return kiln_old_pthread_once(once, init);
}

int __wrap_pthread_key_create(pthread_key_t* key, void (*destructor)(void*)) {
    return kiln_old_pthread_key_create(key, destructor);
}

// The runtime also refers (weakly) to the internal alias of
// pthread_key_create to tell whether threads are available; they always are.
int __wrap___pthread_key_create(pthread_key_t* key, void (*destructor)(void*)) {
    return kiln_old_pthread_key_create(key, destructor);
}

int __wrap_pthread_key_delete(pthread_key_t key) {
    return kiln_old_pthread_key_delete(key);
}

void* __wrap_pthread_getspecific(pthread_key_t key) {
    return kiln_old_pthread_getspecific(key);
}

int __wrap_pthread_setspecific(pthread_key_t key, const void* value) {
    return kiln_old_pthread_setspecific(key, value);
}

char __wrap___libc_single_threaded = 0;

// Fills `size` bytes from the kernel's random source; false on failure.
static bool kiln_random_bytes(void* buffer, size_t size) {
    auto* out = static_cast<unsigned char*>(buffer);
    size_t filled = 0;
    while (filled < size) {
        const long got = syscall(SYS_getrandom, out + filled, size - filled, 0);
        if (got > 0) {
            filled += static_cast<size_t>(got);
        } else if (got < 0 && errno != EINTR) {
            return false;
        }
    }
    return true;
}

int __wrap_getentropy(void* buffer, size_t size) {
    if (size > 256) {
        errno = EIO;
        return -1;
    }
    return kiln_random_bytes(buffer, size) ? 0 : -1;
}

uint32_t __wrap_arc4random() {
    uint32_t value = 0;
    kiln_random_bytes(&value, sizeof value);
    return value;
}

}  // extern "C"
