// Support layer: no C runtime, so the program brings its own text formatter, log writer,
// error texts and a few memory, string and atomic helpers.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <stdarg.h>
#include <stdint.h>

// Sizes shared across the program.
static const UINT32 PATH_CAPACITY = 260;
static const UINT32 ERROR_TEXT_CAPACITY = 768;
static const UINT32 IO_CHUNK_SIZE = 262144;
static const UINT32 MAX_FETCH_SIZE = 4194304;
static const UINT32 LOG_ENTRY_CAPACITY = 2048;
static const UINT32 LOG_UTF8_CAPACITY = 8192;
static const UINT32 ERROR_DESCRIPTION_CAPACITY = 512;

// Private failure code: the manifest signature did not verify (customer bit and both severity bits set).
static const DWORD ERROR_MANIFEST_SIGNATURE = 0xE0010001u;

// ---- memory and text helpers ----
void MemoryCopy(void* destination, const void* source, SIZE_T size);
void MemoryZero(void* destination, SIZE_T size);
// Process-heap allocation; zeroFill selects HEAP_ZERO_MEMORY.
void* HeapTake(SIZE_T size, BOOL zeroFill);
void HeapRelease(void* block); // null is allowed
UINT32 WideLength(const WCHAR* text);
UINT32 ByteLength(const char* text);
// Copies at most capacity - 1 units and always terminates; every unit after the copy is cleared.
void CopyWideClearing(WCHAR* destination, UINT32 capacity, const WCHAR* source);
// Copies at most capacity - 1 units and terminates (rest untouched).
void CopyWide(WCHAR* destination, UINT32 capacity, const WCHAR* source);
// Copies at most capacity - 1 bytes and clears every byte after the copy.
void CopyNarrowClearing(char* destination, UINT32 capacity, const char* source);
BOOL WideEquals(const WCHAR* a, const WCHAR* b);
// TRUE when the path exists and is not a directory. A missing path reports INVALID_FILE_ATTRIBUTES,
// whose directory bit is set, so it is not a file either.
BOOL PathIsFile(const WCHAR* path);
// Sets the thread's last-error value to code and returns FALSE, for "fail with code".
BOOL FailWith(DWORD code);
// Whole-text compare where only A-Z are folded to a-z on both sides.
BOOL WideEqualsAsciiNoCase(const WCHAR* a, const WCHAR* b);

// ---- atomics (the log's append lock is the program's only lock) ----
LONG AtomicRead32(volatile LONG* value);
void AtomicSet32(volatile LONG* value, LONG newValue);
// A flag that only ever goes from 0 to 1, read atomically.
BOOL AtomicIsSet(volatile LONG* flag);
UINT64 AtomicRead64(volatile UINT64* value);
// Adds with a compare-and-swap loop and returns the value before the add.
UINT64 AtomicAdd64(volatile UINT64* value, UINT64 amount);

// ---- formatter ----
void FormatText(WCHAR* buffer, UINT32 capacity, const WCHAR* format, ...);
void FormatTextV(WCHAR* buffer, UINT32 capacity, const WCHAR* format, va_list arguments);
// The one way to compose a path: TRUE when the whole path fits; otherwise the buffer is left empty and
// the call fails with ERROR_FILENAME_EXCED_RANGE, so a cut name is never used.
BOOL ComposePath(WCHAR* path, UINT32 capacity, const WCHAR* format, ...);

// ---- run locks ----
static const UINT32 RUN_LOCK_NAME_CAPACITY = 96;
// "Local\TOVKinemoDownloader.<kind>.<hash of the full path>", a name kernel objects accept; the hash
// folds case and ignores trailing backslashes, as the file system compares paths.
void RunLockName(WCHAR* name, UINT32 capacity, const WCHAR* kind, const WCHAR* path);
// TRUE when a wait result makes the lock ours: free, or abandoned by a run that died holding it.
BOOL RunLockWaitAcquired(DWORD waitResult);
// Takes the lock of a path without waiting; null with ERROR_BUSY while another run holds it.
HANDLE AcquireRunLock(const WCHAR* kind, const WCHAR* path);
// Releases and closes a lock taken by this thread; null is allowed; keeps the last-error value.
void ReleaseRunLock(HANDLE lock);

// ---- files briefly held by another process (scanner, indexer, sync client) ----
// TRUE for ERROR_SHARING_VIOLATION and ERROR_ACCESS_DENIED, the codes of a file someone holds.
BOOL IsHeldFileCode(DWORD code);
// Pause in ms before retry number attempt (from 0), growing; 0 once about 2 s have been spent.
DWORD HeldFilePause(UINT32 attempt);
// CreateFileW, MoveFileExW and DeleteFileW, tried again while they fail with a held-file code. The open
// stops with ERROR_CANCELLED when cancelFlag (may be null) is set while it waits.
HANDLE OpenFileWhileHeld(const WCHAR* path, DWORD access, DWORD share, DWORD disposition, DWORD flags,
                         volatile LONG* cancelFlag);
BOOL MoveFileWhileHeld(const WCHAR* from, const WCHAR* to, DWORD flags);
BOOL DeleteFileWhileHeld(const WCHAR* path);
// length bytes at offset of an open file; a file that ends sooner fails with ERROR_HANDLE_EOF.
BOOL ReadFileAt(HANDLE file, UINT64 offset, BYTE* buffer, UINT32 length);

// ---- log and error text ----
void AppendLog(const WCHAR* text);
// Builds one log entry (timestamp, space, text, CR LF) into a buffer of LOG_ENTRY_CAPACITY units.
void BuildLogEntry(WCHAR* entry, UINT32 capacity, const SYSTEMTIME* time, const WCHAR* text);
// The error text from a prefix, a code and a system description (null or empty selects the short
// form only when hasDescription is false).
void ComposeErrorText(WCHAR* output, const WCHAR* prefix, DWORD code, const WCHAR* description,
                      BOOL hasDescription);
// Strips trailing LF, CR and space in place.
void StripTrailingBreaks(WCHAR* text);
void FormatErrorText(WCHAR* output, const WCHAR* prefix, DWORD code);
// The final line after an unhandled exception: no other line is appended after it, and it does not
// wait for another thread's append that never ends (the lock is tried for about this many ms).
static const UINT32 FINAL_LOG_LOCK_TRIES = 50;
void AppendFinalLog(const WCHAR* text);

// ---- crash trace ----
// At most this many of the program's minidumps stay beside the log; the oldest go first.
static const UINT32 MAX_KEPT_DUMPS = 5;
// Sets the unhandled-exception filter: one last log line, a minidump, the exception code as exit code.
void InstallCrashHandler(void);
// "程序意外终止（异常 0x<8 hex>，位置 TOVKinemoDownloader.exe+0x<offset>）", or the plain address when it
// lies outside the exe's image [base, base + size).
void ComposeCrashLine(WCHAR* line, UINT32 capacity, DWORD code, UINT64 address, UINT64 base, UINT64 size);
// ERROR_UNHANDLED_EXCEPTION, which the SDK headers at hand do not name.
static const DWORD UNHANDLED_EXCEPTION_CODE = 574;
// The exception code, unless it would read as one of the program's own outcomes (0, 1, 2): then
// UNHANDLED_EXCEPTION_CODE.
DWORD CrashExitCode(DWORD exceptionCode);
// folder (ending in a backslash) + "TOVKinemoDownloader-<yyyymmdd>-<hhmmss>-<pid>.dmp"; FALSE when cut.
BOOL ComposeDumpPath(WCHAR* path, UINT32 capacity, const WCHAR* folder, const SYSTEMTIME* time,
                     DWORD processId);
// TRUE for exactly the names ComposeDumpPath makes, so no other file is ever removed.
BOOL IsDumpName(const WCHAR* name);
