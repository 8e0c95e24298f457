/* A plain C interface to the engine, for foreign-function callers (the
 * `vantre` package reaches the engine through it under PyPy, where calls
 * through the interpreter's C-API emulation cost several times more).
 *
 * Conventions:
 *   - Every function that can fail returns an int status and fills the
 *     caller's `vantre_error` on failure:
 *       VANTRE_OK         done
 *       VANTRE_ABSENT     the key is not stored (get, delete); not an error
 *       VANTRE_FAILED     a failure the operation reports (the module's
 *                         OSError): `err` says what
 *       VANTRE_FATAL      a failure the operation cannot report and go on
 *                         from (the module's panic): `err` says what; the
 *                         store itself stays usable
 *       VANTRE_NO_MEMORY  an allocation failed; the store is as before
 *       VANTRE_CLOSED     the handle was closed (vantre_close)
 *       VANTRE_BUSY       vantre_close while another call is using the
 *                         handle: nothing was done
 *     `err` is left untouched on success. When `err` is NULL the failure's
 *     data is kept for the calling thread instead, until its next failure,
 *     and vantre_last_error copies it out: a caller shared by threads need
 *     not lock a buffer of its own around every call.
 *   - Keys are UTF-8 text given as pointer and length; the caller
 *     guarantees they are valid UTF-8. Keys longer than 4294967295 bytes
 *     and values longer than vantre_max_value_length() are refused
 *     (VANTRE_FAILED, kind INVALID_INPUT).
 *   - The caller owns every buffer it passes in. Results are written into
 *     caller-owned `vantre_buf` and `vantre_batch` objects, which this
 *     library grows with its own allocator and which the caller frees with
 *     vantre_buf_free / vantre_batch_free. Their contents stay valid until
 *     the object's next use or its free, whatever happens to the store.
 *   - A handle may be used from several threads at once; a buf or batch
 *     from one thread at a time. vantre_persist and vantre_vacuum run
 *     beside the other calls, which wait only for their short steps. A
 *     call may block (in the kernel) while another thread's call holds a
 *     lock it needs; no function calls back into the caller or waits for
 *     anything but the library's own locks. Callers through cffi release
 *     their interpreter lock around every call, as cffi does by default
 *     under CPython and PyPy.
 *   - A handle belongs to the process that opened it: in a forked child
 *     every call fails (kind WRONG_PROCESS) and vantre_close writes
 *     nothing.
 */
#ifndef VANTRE_CAPI_H_
#define VANTRE_CAPI_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VANTRE_API __attribute__((visibility("default")))

/* Status codes. These numbers are part of the interface. */
#define VANTRE_OK 0
#define VANTRE_ABSENT 1
#define VANTRE_FAILED -1
#define VANTRE_FATAL -2
#define VANTRE_NO_MEMORY -3
#define VANTRE_CLOSED -4
#define VANTRE_BUSY -5

/* Flags of vantre_open. */
#define VANTRE_OPEN_READ_ONLY 1 /* shared lock; nothing created or changed */
#define VANTRE_OPEN_NO_CREATE 2 /* only an existing store (else ENOENT) */

/* Error kinds, as the engine names them. */
#define VANTRE_KIND_OS 0
#define VANTRE_KIND_WOULD_BLOCK 1
#define VANTRE_KIND_UNEXPECTED_EOF 2
#define VANTRE_KIND_WRITE_ZERO 3
#define VANTRE_KIND_INVALID_INPUT 4
#define VANTRE_KIND_INVALID_DATA 5
#define VANTRE_KIND_REENTERED 6
#define VANTRE_KIND_WRONG_PROCESS 7
#define VANTRE_KIND_NONE -1 /* a fatal failure without an engine error */

typedef struct vantre_error {
  int32_t kind;        /* VANTRE_KIND_* */
  int32_t os_errno;    /* errno of the failed system call, 0 if none */
  char message[1024];  /* NUL-terminated; cut at the buffer's end */
  char file[1024];     /* the file concerned, NUL-terminated; may be "" */
} vantre_error;

/* A growable byte buffer. Start from {0}; `data` holds `len` bytes. */
typedef struct vantre_buf {
  char* data;
  size_t len;
  size_t cap;
} vantre_buf;

/* Results of a batch call: entry i is data[offsets[i] .. offsets[i] +
 * lengths[i]), or absent when lengths[i] is -1. Start from {0}. */
typedef struct vantre_batch {
  char* data;
  uint64_t* offsets;
  int64_t* lengths;
  size_t count;
  size_t data_cap;
  size_t entries_cap;
} vantre_batch;

typedef struct vantre_db vantre_db;

/* Opens (creating if needed, unless VANTRE_OPEN_NO_CREATE) the store in
 * `path` (NUL-terminated) with a value cache of `cache_capacity` entries;
 * *out receives the handle, which the caller frees with vantre_free. */
VANTRE_API int vantre_open(const char* path, uint64_t cache_capacity, int flags, vantre_db** out,
                           vantre_error* err);
/* What the caller should be warned of after the open (the undecodable end
 * of the log moved to wal.bin.cut), NUL-terminated in `out` and cut at
 * `cap` bytes; returns its full length, 0 when there is nothing to say. */
VANTRE_API size_t vantre_open_notice(vantre_db* db, const char* path, char* out, size_t cap);
/* Writes the buffers out, then releases the store at once: maps, files and
 * the directory lock, whatever happened. A failure to write is reported
 * (the store is released all the same). Later calls on the handle return
 * VANTRE_CLOSED; closing again is VANTRE_OK. VANTRE_BUSY, and nothing is
 * done, while another thread is inside a call on the handle. */
VANTRE_API int vantre_close(vantre_db* db, vantre_error* err);
/* Releases the handle (closing the store first, ignoring any potential
 * errors, if it is open). NULL is allowed. REQUIRES: no call on the handle
 * is running or will run. */
VANTRE_API void vantre_free(vantre_db* db);

VANTRE_API int vantre_put(vantre_db* db, const char* key, size_t key_len, const void* val, size_t val_len,
               vantre_error* err);
/* Copies the value into `out` (grown if needed). VANTRE_ABSENT leaves
 * `out` untouched. */
VANTRE_API int vantre_get(vantre_db* db, const char* key, size_t key_len, vantre_buf* out, vantre_error* err);
/* Looks every key up in order, under one lock, as the same sequence of
 * gets would; fills `out` with one entry per key. */
VANTRE_API int vantre_get_many(vantre_db* db, const char* const* keys, const size_t* key_lens, size_t n,
                    vantre_batch* out, vantre_error* err);
/* vantre_get_many with the keys end to end in `keys`, key i being the
 * key_lens[i] bytes after key i - 1: one buffer for a caller that builds
 * it more cheaply than an array of pointers. */
VANTRE_API int vantre_get_many_packed(vantre_db* db, const char* keys, const size_t* key_lens,
                                      size_t n, vantre_batch* out, vantre_error* err);
/* VANTRE_OK if the key was stored, VANTRE_ABSENT if not. */
VANTRE_API int vantre_delete(vantre_db* db, const char* key, size_t key_len, vantre_error* err);

VANTRE_API int vantre_len(vantre_db* db, uint64_t* out, vantre_error* err);
/* Every live key, in the order keys are listed, one entry each. */
VANTRE_API int vantre_keys(vantre_db* db, vantre_batch* out, vantre_error* err);
VANTRE_API int vantre_cache_stats(vantre_db* db, uint64_t* entries, uint64_t* capacity, vantre_error* err);
VANTRE_API int vantre_clear_cache(vantre_db* db, vantre_error* err);

VANTRE_API int vantre_persist(vantre_db* db, vantre_error* err);
VANTRE_API int vantre_vacuum(vantre_db* db, vantre_error* err);
/* Writes every buffer out and syncs the log, so that every write
 * acknowledged before it survives a crash. */
VANTRE_API int vantre_sync(vantre_db* db, vantre_error* err);
/* Writes out the buffers of the log and the data files. */
VANTRE_API int vantre_flush(vantre_db* db, vantre_error* err);

/* The longest value this platform stores: 4294967295, or 128 MiB in a
 * 32-bit process (longer values could not be read back reliably). */
VANTRE_API uint64_t vantre_max_value_length(void);
/* Copies the calling thread's last failure given a NULL `err` into `out`. */
VANTRE_API void vantre_last_error(vantre_error* out);

VANTRE_API void vantre_buf_free(vantre_buf* buf);
VANTRE_API void vantre_batch_free(vantre_batch* batch);

#ifdef __cplusplus
}
#endif

#endif /* VANTRE_CAPI_H_ */
