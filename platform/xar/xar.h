/*
 * Read-only XAR archives (installer packages) with libxar's own C interface.
 *
 * The names, types and prototypes below are those of libxar's <xar.h>, for the
 * subset that the helper calls, so that its code reads as it would against the
 * real library and a system that has libxar can link that instead.
 *
 * Contract (where this reader is stricter than libxar, it says so):
 * - Every archive is hostile input. xar_open() refuses, at once and without
 *   blocking, anything at the path that is not a regular file (a FIFO or a
 *   device fails; a symbolic link to a regular file is followed). It reads the
 *   28-byte big-endian header, inflates the table of contents (zlib, capped in
 *   size), parses it (expat, no namespaces, no external entities) and checks
 *   every offset, length and count against the file. It returns NULL unless the
 *   header's checksum algorithm agrees with the table of contents' <checksum
 *   style> (1: "sha1"; 3, "other": the style names it, one of "sha224",
 *   "sha256", "sha384", "sha512"; 4: "sha512"; none and MD5 are refused) and
 *   the checksum stored in the heap equals the one computed over the
 *   compressed table of contents. xq_xar_open_error() then says why.
 * - Opening takes time and memory linear in the archive's size and bounded by
 *   caps on the table of contents (compressed and inflated length, elements
 *   and attributes, nesting, kept character data, members, signatures,
 *   certificates); an archive over a cap is refused as soon as it is read up
 *   to it. Sibling names are compared without regard to case, as libxar does,
 *   and two alike are refused.
 * - Members come out in libxar's order: depth first, pre-order, with the
 *   top-level members in the reverse of their order in the table of contents.
 * - xar_extract_tofile() writes a member's data (encodings: zlib
 *   "application/x-gzip", "application/x-bzip2", none) and fails unless both
 *   the archived and the extracted checksums match (libxar checks only the
 *   first). The output must match the member's declared <size> (a member
 *   without one is refused) and decoding stops there, so a decompression bomb
 *   is cut short; sizes over 4 GiB are refused. On failure nothing new is left
 *   at the path (whatever was there before stays). xar_extract_tobuffersz()
 *   makes the same checks and hands out the bytes in memory instead, for
 *   members up to 64 MiB; on failure it hands out nothing.
 * - Strings and buffers handed out by xar_get_path(), xar_get_safe_path() and
 *   xar_signature_copy_signed_data() are malloc()ed and belong to the caller.
 *   Everything else belongs to the archive and is valid until xar_close().
 * - One xar_t must not be used from two threads at once; distinct archives are
 *   independent.
 */
#ifndef XQ_PLATFORM_XAR_XAR_H
#define XQ_PLATFORM_XAR_XAR_H

#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#define XAR_HEADER_MAGIC 0x78617221

/* Checksum algorithms of the header's cksum_alg field. */
#define XAR_CKSUM_NONE 0
#define XAR_CKSUM_SHA1 1
#define XAR_CKSUM_MD5 2
#define XAR_CKSUM_OTHER 3                /* named by the table of contents' <checksum style> */
#define XAR_CKSUM_SHA256 XAR_CKSUM_OTHER /* the usual name there */
#define XAR_CKSUM_SHA512 4

/* Option of xar_opt_get: the table-of-contents checksum's name ("sha1"...). */
#define XAR_OPT_TOCCKSUM "toc-cksum"

typedef void* xar_errctx_t;
typedef const struct __xar_file_t* xar_file_t;
typedef const struct __xar_iter_t* xar_iter_t;
typedef const struct __xar_t* xar_t;
typedef const struct __xar_signature_t* xar_signature_t;

/* Error callback: severity (XAR_SEVERITY_*), error class (XAR_ERR_*), the
 * error context (read it with xar_err_get_string / xar_err_get_errno during
 * the call only) and the user context given at registration. */
typedef int32_t (*err_handler)(int32_t severit, int32_t instance, xar_errctx_t ctx, void* usrctx);

#define READ 0
#define WRITE 1

#define XAR_SEVERITY_DEBUG 1
#define XAR_SEVERITY_INFO 2
#define XAR_SEVERITY_NORMAL 3
#define XAR_SEVERITY_WARNING 4
#define XAR_SEVERITY_NONFATAL 5
#define XAR_SEVERITY_FATAL 6

#define XAR_ERR_ARCHIVE_CREATION 1
#define XAR_ERR_ARCHIVE_EXTRACTION 2

/* Only READ is supported; WRITE fails (returns NULL). */
xar_t xar_open(const char* file, int32_t flags);
/* Releases the archive and everything it handed out by pointer. 0 on success. */
int xar_close(xar_t x);

/* Registers the error callback; later failures of calls on x invoke it. */
void xar_register_errhandler(xar_t x, err_handler callback, void* usrctx);
const char* xar_err_get_string(xar_errctx_t ctx);
int xar_err_get_errno(xar_errctx_t ctx);

/* XAR_CKSUM_* of the header: the table-of-contents checksum's algorithm
 * (verified by xar_open). */
int32_t xar_get_toc_checksum_type(xar_t x);

/* XAR_OPT_TOCCKSUM: the checksum style that the table of contents names (the
 * digest that xar_open verified), owned by the archive. NULL for any other
 * option. */
const char* xar_opt_get(xar_t x, const char* option);

/* Not in libxar: why the calling thread's last xar_open() returned NULL, as
 * English text (empty after a successful open). Valid until that thread's next
 * xar_open(). */
const char* xq_xar_open_error(void);

xar_iter_t xar_iter_new(void);
void xar_iter_free(xar_iter_t i);
/* First / next member in archive order; NULL at the end. */
xar_file_t xar_file_first(xar_t x, xar_iter_t i);
xar_file_t xar_file_next(xar_iter_t i);

/* The member's stored path: its names joined with "/" (NULL if a name is
 * missing). Caller frees. */
char* xar_get_path(xar_file_t f);
/* As xar_get_path, with a "/" inside one name replaced by ":". Caller frees. */
char* xar_get_safe_path(xar_file_t f);

/* The member's property `key`, for the keys "type" (as stored: "file",
 * "directory", "symlink", ...) and "name": 0 with *value pointing at the text
 * (owned by the archive), or -1 when the member has no such property or the
 * key is another one. */
int32_t xar_prop_get(xar_file_t f, const char* key, const char** value);

/* Writes the member's data to a new file (mode 0644 less the umask) that then
 * replaces whatever is at path; a symbolic link at path is replaced, not
 * followed. 0 on success, -1 on failure (path untouched, no temporary file
 * left). Directories and links are not extracted (-1). */
int32_t xar_extract_tofile(xar_t x, xar_file_t f, const char* path);

/* As xar_extract_tofile, into memory: on success *buffer is a malloc()ed block
 * (the caller frees it; not NULL even for an empty member) of *size bytes, the
 * member's data with both checksums verified. 0 on success, -1 on failure
 * (then *buffer and *size are untouched). A member declaring more than 64 MiB
 * is refused: extract it to a file. */
int32_t xar_extract_tobuffersz(xar_t x, xar_file_t f, char** buffer, size_t* size);

/* Signature entries, <signature> and <x-signature> elements alike, in their
 * table-of-contents order (real packages: "RSA" first, then "CMS"); NULL at
 * the end or when there is none. libxar's own list keeps only the first and
 * the last of three or more entries; this one keeps them all. */
xar_signature_t xar_signature_first(xar_t x);
xar_signature_t xar_signature_next(xar_signature_t s);
/* The entry's style attribute, e.g. "RSA" or "CMS"; NULL when absent. */
const char* xar_signature_type(xar_signature_t s);

int32_t xar_signature_get_x509certificate_count(xar_signature_t sig);
/* Certificate `index` (0 first, as stored) as DER; the bytes stay owned by the
 * archive. 0 on success, -1 when there is no such certificate. */
int32_t xar_signature_get_x509certificate_data(xar_signature_t sig, int32_t index,
                                               const uint8_t** cert_data, uint32_t* cert_len);

/* data/length: the stored table-of-contents checksum (the bytes that the
 * signature signs; xar_open has compared it with the computed one).
 * signed_data/signed_length: the signature bytes. signed_offset: the
 * signature's heap offset. Each out-parameter may be NULL; buffers are
 * malloc()ed for the caller. 0 on success, non-zero on failure (then no buffer
 * is handed out). */
uint8_t xar_signature_copy_signed_data(xar_signature_t sig, uint8_t** data, uint32_t* length,
                                       uint8_t** signed_data, uint32_t* signed_length,
                                       off_t* signed_offset);

#ifdef __cplusplus
}
#endif

#endif /* XQ_PLATFORM_XAR_XAR_H */
