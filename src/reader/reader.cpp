// The reader library's C functions over the seal transform.
#include "chartseal/reader.h"

#include <cerrno>
#include <cstdio>

#include "format/SealKey.h"
#include "format/SealTransform.h"
#include "reader/OpenFile.h"

#ifndef CHARTSEAL_VERSION
#error "the build gives CHARTSEAL_VERSION"
#endif

// The public header states the key length for the library's users; the
// format layer holds the key itself.
static_assert(CHARTSEAL_KEY_LENGTH == chartseal::SEAL_KEY_LENGTH, "the reader's key length is the format's");

extern "C" {

void chartseal_unseal(void* data, size_t length, uint64_t offset)
{
    if (data == nullptr || length == 0) return;
    char* bytes = static_cast<char*>(data);
    chartseal::unsealBytes(bytes, bytes, length, static_cast<std::size_t>(offset % CHARTSEAL_KEY_LENGTH));
}

chartseal_status chartseal_read_file(const char* path, void* buffer, size_t capacity, size_t* length)
{
    if (path == nullptr || length == nullptr || (buffer == nullptr && capacity > 0)) return CHARTSEAL_INVALID_ARGUMENT;
    *length = 0;
    std::FILE* file = chartseal::reader::openForReading(path);
    if (file == nullptr) return CHARTSEAL_CANNOT_OPEN;
    char* bytes = static_cast<char*>(buffer);
    std::size_t total = 0;
    // Into the buffer while it has room, then only counted.
    char overflow[4096];
    for (;;) {
        const bool room = total < capacity;
        char* into = room ? bytes + total : overflow;
        const std::size_t want = room ? capacity - total : sizeof overflow;
        const std::size_t got = std::fread(into, 1, want, file);
        if (room) chartseal_unseal(into, got, total);
        total += got;
        if (got < want) break;
    }
    const bool failed = std::ferror(file) != 0;
    const int err = errno;
    std::fclose(file);
    *length = total;
    if (failed) {
        errno = err;
        return CHARTSEAL_CANNOT_READ;
    }
    return total > capacity ? CHARTSEAL_BUFFER_TOO_SMALL : CHARTSEAL_OK;
}

const char* chartseal_status_text(chartseal_status status)
{
    switch (status) {
    case CHARTSEAL_OK: return "success";
    case CHARTSEAL_INVALID_ARGUMENT: return "invalid argument";
    case CHARTSEAL_CANNOT_OPEN: return "cannot open the file";
    case CHARTSEAL_CANNOT_READ: return "cannot read the file";
    case CHARTSEAL_BUFFER_TOO_SMALL: return "the file is longer than the buffer";
    }
    return "unknown status";
}

const char* chartseal_reader_version(void)
{
    return CHARTSEAL_VERSION;
}

}  // extern "C"
