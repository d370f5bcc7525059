/* Reading sealed chart files: the one definition of the seal key and of the
 * unseal transform, for every program that reads what chartseal wrote.
 *
 * A sealed chart file holds one byte for each byte of its chart text: byte i
 * of the file (counting from 0) is (b + key[i mod 137]) mod 256, with the
 * key index starting at 0 in every file. There is no header, length or
 * checksum. The functions here are plain C and keep no state, so they can be
 * called from C, C++ or another language's foreign function interface, from
 * any thread. */
#ifndef CHARTSEAL_READER_H
#define CHARTSEAL_READER_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && defined(CHARTSEAL_READER_BUILDING)
#define CHARTSEAL_READER_API __declspec(dllexport)
#elif defined(__GNUC__)
#define CHARTSEAL_READER_API __attribute__((visibility("default")))
#else
#define CHARTSEAL_READER_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The number of key bytes; byte i of a sealed file uses key byte i mod this. */
#define CHARTSEAL_KEY_LENGTH 137

typedef enum chartseal_status {
    CHARTSEAL_OK = 0,
    CHARTSEAL_INVALID_ARGUMENT = 1, /* a null pointer where one is not allowed */
    CHARTSEAL_CANNOT_OPEN = 2,      /* the file cannot be opened (errno tells why) */
    CHARTSEAL_CANNOT_READ = 3,      /* reading the file failed (errno tells why) */
    CHARTSEAL_BUFFER_TOO_SMALL = 4  /* the file is longer than the buffer */
} chartseal_status;

/* Unseals, in place, length bytes that stand at the given offset of a sealed
 * file, so that a file can be taken in pieces of any size. */
CHARTSEAL_READER_API void chartseal_unseal(void* data, size_t length, uint64_t offset);

/* Reads the whole sealed file at path (UTF-8 on Windows) into buffer, unsealed, and sets
 * *length to its size. When the file is longer than capacity, returns
 * CHARTSEAL_BUFFER_TOO_SMALL with *length set to the size needed and the
 * buffer holding the first capacity bytes unsealed. buffer may be null when
 * capacity is 0, to ask for the size. */
CHARTSEAL_READER_API chartseal_status chartseal_read_file(const char* path, void* buffer, size_t capacity,
                                                          size_t* length);

/* A short English text for a status, never null. */
CHARTSEAL_READER_API const char* chartseal_status_text(chartseal_status status);

/* The library's version, such as "1.1.0". */
CHARTSEAL_READER_API const char* chartseal_reader_version(void);

#ifdef __cplusplus
}
#endif

#endif
