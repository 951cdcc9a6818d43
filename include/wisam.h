/*
 * wisam.h - the public C interface of wisam, an embedded ISAM record manager.
 *
 * An ISAM file named N is the index file N.wox, the data file N.wod (absent
 * when the record length is 0) and the lock file N.lck; N.lnk may redirect
 * the name.  Every call that takes a handle returns 1 on success and 0 on
 * failure (isBuild and isOpen return a handle or NULL); the reason of a
 * failure is read with isErrno, isErrio and the status characters isstat1 to
 * isstat4.  The transaction calls take no handle and report through errno.
 *
 * Handles are owned by the library: isClose frees a handle and the pointer
 * must not be used afterwards.  Buffers passed in are owned by the caller and
 * are never kept past the call.  Any thread may call the library: calls on
 * different files run side by side, calls on one handle follow each other
 * (docs/c-interface.md, Threads).
 */
#ifndef WISAM_H
#define WISAM_H

#include <stddef.h>
#include <stdint.h>
#include <uchar.h>

#if defined(WISAM_BUILDING_LIBRARY)
#define WISAM_API __attribute__((visibility("default")))
#else
#define WISAM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------ */
/* Public records                                                            */
/* ------------------------------------------------------------------------ */

typedef struct IsFile IsFile; /* opaque handle */

typedef struct KeyPart {
    int16_t start;  /* byte offset in the record */
    int16_t length; /* bytes */
    uint16_t type;  /* low byte: type (low 6 bits) | 0x80 descending;
                       high byte: null character (with key flag 0x20) */
} KeyPart;

enum { IS_MAX_KEY_PARTS = 64, IS_MAX_KEY_LENGTH = 1024, IS_MAX_INDEXES = 32 };

typedef struct KeyDesc {
    uint16_t flags;     /* key flags ISKEY_DUPS .. ISKEY_NULLSUPPRESS */
    int16_t partCount;  /* 0..64; 0 = record-number order */
    KeyPart parts[IS_MAX_KEY_PARTS];
    int16_t keyLength;  /* filled in by the library */
    uint32_t rootNode;  /* filled in by the library */
} KeyDesc;

typedef struct IsamInfo { /* the file summary of isIsamInfo, isIndexInfo(f, buf, 0) */
    int16_t indexCount;
    int16_t recordSize;
    int16_t blockSize;
    int32_t recordCount;
} IsamInfo;

/* ------------------------------------------------------------------------ */
/* Named constants                                                           */
/* ------------------------------------------------------------------------ */

/* Open mode word of isBuild and isOpen. */
enum {
    ISINPUT = 0x0000,        /* access mode: input only */
    ISOUTPUT = 0x0001,       /* access mode: output only */
    ISINOUT = 0x0002,        /* access mode: input and output */
    ISACCESSMASK = 0x0003,
    ISTRANS = 0x0004,        /* takes part in transactions */
    ISNOLOG = 0x0008,        /* never logged */
    ISVARLEN = 0x0010,       /* variable-length records */
    ISPACKED = 0x0020,       /* with ISVARLEN: variable part stored packed */
    ISINDEXMASK = 0x0080,    /* per-record index-exclusion mask */
    ISNOLOCK = 0x0100,       /* read-only, no lock file, no locks */
    ISAUTOLOCK = 0x0200,     /* automatic record locking */
    ISMANULOCK = 0x0400,     /* manual record locking (the default) */
    ISEXCLLOCK = 0x0800,     /* exclusive for as long as the handle is open */
    ISOPENVARLEN = 0x8000    /* isOpen only: open a variable-length file as such */
};

/* Read modes (low byte of the isRead mode word) and lock flags (high byte). */
enum {
    modeFirst = 0,
    modeLast = 1,
    modeNext = 2,
    modePrev = 3,
    modeCurrent = 4,
    modeEqual = 5,
    modeGreater = 6,
    modeGreaterEqual = 7,
    readLock = 0x100,
    readWait = 0x400
};

/* Key flags of KeyDesc.flags. */
enum {
    ISKEY_DUPS = 0x01,         /* duplicates allowed */
    ISKEY_DUPCOMPRESS = 0x02,  /* equal keys store no key bytes */
    ISKEY_LEADCOMPRESS = 0x04, /* shared leading bytes counted */
    ISKEY_TRAILCOMPRESS = 0x08,/* trailing fill bytes cut */
    ISKEY_NULLFILL = 0x10,     /* the trailing fill byte is NUL, not blank */
    ISKEY_NULLSUPPRESS = 0x20  /* all-null keys are not indexed */
};

/* Key types (low 6 bits of KeyPart.type) and the descending bit. */
enum {
    ISTYPE_CHAR = 0,        /* unsigned bytes */
    ISTYPE_INT = 1,         /* big-endian 16-bit (stInt) */
    ISTYPE_LONG = 2,        /* big-endian 32-bit (stLong) */
    ISTYPE_DOUBLE = 3,      /* native double */
    ISTYPE_FLOAT = 4,       /* native float */
    ISTYPE_NATIVESHORT = 5, /* native 16-bit signed */
    ISTYPE_NATIVELONG = 6,  /* native 32-bit signed */
    ISTYPE_STRING = 7,      /* NUL-terminated string */
    ISTYPE_WTEXT = 8,       /* UTF-16 text */
    ISTYPE_RECID = 9,       /* 8-byte unit ordered by its first native int32 */
    ISTYPE_DEVTAG = 10,     /* UTF-8 device tag */
    ISTYPE_WDEVTAG = 11,    /* UTF-16 device tag */
    ISTYPE_BYTES = 12,      /* unsigned bytes */
    ISTYPE_WNOCASE = 13,    /* UTF-16 text without regard to case */
    ISTYPE_MASK = 0x3F,
    ISTYPE_DESC = 0x80      /* descending order */
};

/* Error numbers; texts in is_errlist[number - 100]. */
enum {
    EDUPL = 100,      /* Duplicate record */
    ENOTOPEN = 101,   /* File not open */
    EBADARG = 102,    /* Illegal argument */
    EBADKEY = 103,    /* Bad key descriptor */
    ETOOMANY = 104,   /* Too many files */
    EBADFILE = 105,   /* Corrupted isam file */
    ENOTEXCL = 106,   /* Need exclusive access */
    ELOCKED = 107,    /* Record or file locked */
    EKEXISTS = 108,   /* Index already exists */
    EPRIMKEY = 109,   /* Illegal primary key operation */
    EENDFILE = 110,   /* End of file */
    ENOREC = 111,     /* Record not found */
    ENOCURR = 112,    /* No current record */
    EFLOCKED = 113,   /* File is in use */
    EFNAME = 114,     /* File name too long */
    ENOLOK = 115,     /* Bad lock device */
    EBADMEM = 116,    /* Can't allocate memory */
    EBADCOLL = 117,   /* Bad collating table */
    ELOGREAD = 118,   /* Can't read log record */
    EBADLOG = 119,    /* Bad log record */
    ELOGOPEN = 120,   /* Can't open log file */
    ELOGWRIT = 121,   /* Can't write log record */
    ENOTRANS = 122,   /* No transaction */
    ENOSHMEM = 123,   /* No shared memory */
    ENOBEGIN = 124,   /* No begin work yet */
    ENONFS = 125,     /* Can't use nfs */
    EBADROWID = 126,  /* Bad rowid */
    ENOPRIM = 127,    /* No primary key */
    ENOLOG = 128,     /* No logging */
    EUSER = 129,      /* Too many users */
    ENODBS = 130,     /* No such dbspace */
    ENOFREE = 131,    /* No free disk space */
    EROWSIZE = 132,   /* Rowsize too big */
    EAUDIT = 133,     /* Audit trail exists */
    ENOLOCKS = 134    /* No more locks */
};

/* ------------------------------------------------------------------------ */
/* Handles, errors and status                                               */
/* ------------------------------------------------------------------------ */

/* The error number of the last failed call on f: 100..134 (texts in is_errlist)
 * or a system errno value; with f NULL, errno (the reason isBuild or isOpen failed). */
WISAM_API int isErrno(IsFile *f);
/* The I/O code of f's last failure: the failed operation (0 erase or rename, 16 open,
 * 32 create, 48 seek, 64 read, 80 write, 96 lock) plus the file kind (1 .wox, 2 .wod,
 * 6 log, 7 .lck, 8 .wjn the rollback journal, 9 .wsc the kept schema); 0 if none. */
WISAM_API int isErrio(IsFile *f);
/* The record number of the last record read, written or positioned on; -1 for NULL. */
WISAM_API int32_t isRecnum(IsFile *f);
/* The length of the last record read (the record length for fixed-length files;
 * the maximum right after opening a variable-length file); -1 for NULL. */
WISAM_API int32_t isReclen(IsFile *f);
/* Copies the four status characters of f's last call (isstat1 to isstat4 as that
 * call set them) to status[0..3]: a thread's own, where isstat1..isstat4 are the
 * last call's of any thread.  0 with errno 101 (NULL) or 105 (not open). */
WISAM_API int isStatus(IsFile *f, char *status);
/* Sets the number isRecnum returns, without moving the current position. */
WISAM_API int isSetrec(IsFile *f, int32_t recnum);
/* Sets the whole length of the next record that isWrite or a rewrite stores in a
 * variable-length file (fixed part plus variable part). */
WISAM_API int isSetlen(IsFile *f, int length); /* stored as int16_t */
/* Returns 1: any thread may call the library; calls on different files run side
 * by side, calls on one file or handle follow each other. */
WISAM_API int isThreaded(void);
typedef void (*IsFatalHook)(const char *message);
/* Installs the hook that receives messages about internal faults ("fatal isam
 * error ..."); NULL removes it.  Returns the hook. */
WISAM_API IsFatalHook isFatal(IsFatalHook hook);
/* Closes every open handle and frees the handle table; 0 when a close could not
 * write back what a kept lock held (the handle is closed anyway). */
WISAM_API int isCleanUp(void);

/* ------------------------------------------------------------------------ */
/* Value encoders (stores return 0)                                          */
/* ------------------------------------------------------------------------ */

/* Loads a big-endian 16-bit integer, sign-extended. */
WISAM_API int ldInt(const void *src);
/* Stores the low 16 bits of value big-endian. */
WISAM_API int stInt(int value, void *dst);
/* Loads a big-endian 32-bit integer. */
WISAM_API int32_t ldLong(const void *src);
/* Stores a 32-bit integer big-endian. */
WISAM_API int stLong(int32_t value, void *dst);
/* Loads a big-endian unsigned 64-bit integer. */
WISAM_API uint64_t ldTime(const void *src);
/* Stores an unsigned 64-bit integer big-endian. */
WISAM_API int stTime(uint64_t value, void *dst);
/* Loads the 4 bytes of a float as they are (machine order). */
WISAM_API float ldFloat(const void *src);
/* Stores the 4 bytes of a float as they are. */
WISAM_API int stFloat(float value, void *dst);
/* Loads the 8 bytes of a double as they are (machine order). */
WISAM_API double ldDbl(const void *src);
/* Stores the 8 bytes of a double as they are. */
WISAM_API int stDbl(double value, void *dst);
/* Loads a float; *isNull becomes 1 when it equals 0.0, else 0. */
WISAM_API float ldFltNull(const void *src, int16_t *isNull);
/* Stores value, or 0.0 when isNull is non-zero. */
WISAM_API int stFltNull(float value, void *dst, int16_t isNull);
/* Loads a double; *isNull becomes 1 when it equals 0.0, else 0. */
WISAM_API double ldDblNull(const void *src, int16_t *isNull);
/* Stores value, or 0.0 when isNull is non-zero. */
WISAM_API int stDblNull(double value, void *dst, int16_t isNull);
/* Copies length bytes to dst and a NUL after them (dst holds length + 1 bytes). */
WISAM_API int ldChar(const void *src, int length, char *dst);
/* Fills length bytes of dst with NUL, then copies src up to its NUL or length bytes. */
WISAM_API int stChar(const char *src, void *dst, int length);
/* Copies lengthBytes / 2 UTF-16 units to dst, cuts trailing blanks and ends it with NUL. */
WISAM_API int ldWChar(const void *src, int lengthBytes, char16_t *dst);
/* Fills lengthBytes / 2 units of dst with blanks, then copies src up to its NUL. */
WISAM_API int stWChar(const char16_t *src, void *dst, int lengthBytes);

/* ------------------------------------------------------------------------ */
/* File lifecycle and information                                           */
/* ------------------------------------------------------------------------ */

/* Creates the ISAM file name (.wox, .wod unless recordLength is 0, .lck) with key as its
 * primary index (partCount 0: none) and opens it with mode.  maxRecordLength is the
 * longest record with ISVARLEN (above recordLength, below 32512), else 0.  Files it
 * created are removed when it fails. */
WISAM_API IsFile *isBuild(const char16_t *name, int recordLength, int maxRecordLength,
                          KeyDesc *key, int mode);
/* Opens the ISAM file name; mode is an access mode (ISINPUT, ISOUTPUT, ISINOUT) plus
 * open bits (ISTRANS, ISMANULOCK, ISEXCLLOCK, ISOPENVARLEN ...).  NULL on failure
 * (113 when another process holds it exclusively). */
WISAM_API IsFile *isOpen(const char16_t *name, int mode);
/* Closes and frees the handle.  Returns 0 and keeps it open when the changes a kept
 * lock holds back cannot be written; call it again. */
WISAM_API int isClose(IsFile *f);
/* Changes the lock mode bits of an open handle (ISAUTOLOCK or ISMANULOCK); leaving
 * automatic locking releases the record locks.  Not to or from ISEXCLLOCK. */
WISAM_API int isSetMode(IsFile *f, int lockMode);
/* on non-zero: reads also fail (107) on records another process has locked; 0: they
 * do not look. */
WISAM_API int isLockCheck(IsFile *f, int on);
/* on non-zero: record numbers are never reused (deleted slots stay unlisted); 0: the
 * deleted slots go back on the free list. */
WISAM_API int isPrecious(IsFile *f, int on);
/* Removes the .wox, .wod and .lck files of name; 113 when it is open anywhere. */
WISAM_API int isErase(const char16_t *name);
/* Renames the files of oldName to newName; 113 when it is open anywhere. */
WISAM_API int isRename(const char16_t *oldName, const char16_t *newName);
/* The 10 user bytes of the dictionary: operation 0 reads them into area10, operation 1
 * writes area10 to the file; any other operation fails with 102. */
WISAM_API int isUserInfo(IsFile *f, int operation, void *area10);
/* Fills info: indexes, record length (the maximum for variable-length files; isReclen
 * then gives the fixed part), block size and live records. */
WISAM_API int isIsamInfo(IsFile *f, IsamInfo *info);
/* index 0: fills buffer as an IsamInfo; 1..indexes: copies that index's KeyDesc (1 is
 * the primary; a file without primary key reports partCount 0 for 1). */
WISAM_API int isIndexInfo(IsFile *f, void *buffer, int index); /* KeyDesc or IsamInfo */

/* Indexes */
/* Adds an index described by key and fills it from the records; 108 when it exists. */
WISAM_API int isAddIndex(IsFile *f, KeyDesc *key);
/* Drops the index described by key; the primary index cannot be dropped (109). */
WISAM_API int isDelIndex(IsFile *f, KeyDesc *key);

/* ------------------------------------------------------------------------ */
/* Records                                                                   */
/* ------------------------------------------------------------------------ */

/* Adds a record: enters its keys into every index and stores it; isRecnum gives its
 * number.  100 on a duplicate key in an index without duplicates. */
WISAM_API int isWrite(IsFile *f, const void *record);
/* As isWrite, and keeps the new record locked. */
WISAM_API int isWrLock(IsFile *f, const void *record);
/* As isWrite, and makes the new record the current one; when that fails the
 * whole call fails and the record is not written. */
WISAM_API int isWrCurr(IsFile *f, const void *record);
/* Reads a record by mode (modeFirst .. modeGreaterEqual; modeEqual.. take the key from
 * record), optionally | readLock or | readWait; 110 at the end, 111 when no key fits. */
WISAM_API int isRead(IsFile *f, void *record, int mode);
/* Selects the index key describes (partCount 0: record-number order; NULL: the current
 * one) and positions by mode on record's key, first keyLength bytes (0: all); reads nothing. */
WISAM_API int isStart(IsFile *f, KeyDesc *key, int keyLength, void *record, int mode);
/* Makes record number recnum the current record in the current order. */
WISAM_API int isGoto(IsFile *f, int32_t recnum);
/* Selects index 1.. (0: record-number order) for the following reads. */
WISAM_API int isIndex(IsFile *f, int index);
/* Reads record number recnum into record without moving the position; 111 if deleted. */
WISAM_API int isData(IsFile *f, void *record, int32_t recnum);
/* Stores the current index number (0: record-number order) and record number. */
WISAM_API int isPush(IsFile *f, int *index, int32_t *recnum);
/* Goes back to an index and record that isPush stored. */
WISAM_API int isPop(IsFile *f, int index, int32_t recnum);
/* Stores the highest record number of the file. */
WISAM_API int isGetLastRec(IsFile *f, int32_t *recnum);
/* Sets the highest record number to recnum: any value from 0 up, also below
 * records that exist; a negative one fails with 102. */
WISAM_API int isSetLastRec(IsFile *f, int32_t recnum);
/* Reserves the next record number: increments the highest record number and stores it. */
WISAM_API int isLastRec(IsFile *f, int32_t *recnum);
/* Overwrites the current record's slot without touching keys, log or dictionary. */
WISAM_API int writeToCurRec(IsFile *f, const void *record);
/* Deletes the record whose primary key equals that of record. */
WISAM_API int isDelete(IsFile *f, const void *record);
/* Deletes the current record. */
WISAM_API int isDelCurr(IsFile *f);
/* Deletes record number recnum. */
WISAM_API int isDelRec(IsFile *f, int32_t recnum);
/* Replaces the record whose primary key equals that of record; other keys may change. */
WISAM_API int isRewrite(IsFile *f, const void *record);
/* Replaces the current record. */
WISAM_API int isRewCurr(IsFile *f, const void *record);
/* Replaces record number recnum. */
WISAM_API int isRewRec(IsFile *f, int32_t recnum, const void *record);
/* Replaces the current record and moves to the next; 0 with 110 at the end (the
 * rewrite is done). */
WISAM_API int isRewNxt(IsFile *f, const void *record);

/* ------------------------------------------------------------------------ */
/* Locks                                                                     */
/* ------------------------------------------------------------------------ */

/* Locks the whole file against other handles (107 when someone holds a record lock). */
WISAM_API int isLock(IsFile *f);
/* Releases the file lock, or else every record lock of the handle. */
WISAM_API int isUnLock(IsFile *f);
/* Same as isUnLock. */
WISAM_API int isRelease(IsFile *f);
/* Releases the lock on record number recnum. */
WISAM_API int isRelRec(IsFile *f, int32_t recnum);
/* Releases the lock on the current record. */
WISAM_API int isRelCurr(IsFile *f);
/* Keeps the file-state lock across calls: request 1 shared, 2 exclusive (with
 * isWriteBackActive, changed blocks stay cached); 0 ends it and writes back what it held. */
WISAM_API int isSetCustomLock(IsFile *f, int request);
/* 1 when record recnum could be locked by this handle now, 0 when someone else holds it. */
WISAM_API int isLockTest(IsFile *f, int32_t recnum);
/* 1 when record recnum's lock (recnum 0: the file lock) can be taken now,
 * counting this handle's own locks as obstacles. */
WISAM_API int isSpecialLockTest(IsFile *f, int32_t recnum);

/* ------------------------------------------------------------------------ */
/* Transactions (no handle; failures reported through errno)                 */
/* ------------------------------------------------------------------------ */

typedef int32_t (*IsTxnIdCallback)(void);
/* Registers the callback that gives the current transaction's id (NULL: id 0). */
WISAM_API int isTxnInit(IsTxnIdCallback callback);
/* Opens the transaction log name (created if missing); later logged calls write to it. */
WISAM_API int isLogOpen(const char16_t *name);
/* Closes the transaction log. */
WISAM_API int isLogClose(void);
/* Starts a transaction: the changes of handles opened with ISTRANS join it. */
WISAM_API int isBegin(void);
/* Ends the transaction, keeping its changes, and releases its record locks. */
WISAM_API int isCommit(void);
/* Ends the transaction, undoing its changes in reverse order. */
WISAM_API int isRollBack(void);
/* Replays the open log forward on the files (restored from a backup); 1 at its end. */
WISAM_API int isRecover(void);
/* The handle's number in the handle table, -1 if it is not there. */
WISAM_API int isAdmDtoI(IsFile *f);
/* The handle with table number number, NULL if none. */
WISAM_API IsFile *isAdmItoD(int number);
/* The handle the last log record replayed or undone was mapped to, NULL if none. */
WISAM_API IsFile *isAdmTxnLast(void);

/* What isRecover does with the transactions the log holds no end record
 * for (their process died before commit or rollback): 0 (the default) redoes
 * their operations and keeps them; 1 redoes them and then rolls them back at
 * the end of the pass, so that a copy taken when the log began plus the log
 * gives exactly the committed state. */
WISAM_API extern int32_t isRecoverRollback;

/* Variable-length records */
/* Checks the variable-length blocks; returns the isCheckMsg bits found (0: clean).
 * statistics6: blocks on the space lists and their free bytes, unlisted blocks in
 * use and theirs, all blocks in use and theirs. */
WISAM_API int isCheckVarlen(IsFile *f, int32_t *statistics6); /* may be NULL */

/* ------------------------------------------------------------------------ */
/* Collations                                                                */
/* ------------------------------------------------------------------------ */

/* Compares two UTF-8 device tags of lengthBytes bytes: <0, 0, >0. */
WISAM_API int cmpdevicetag(const void *a, const void *b, int lengthBytes);
/* Compares two UTF-16 device tags of lengthUnits units: <0, 0, >0. */
WISAM_API int wcmpdevicetag(const char16_t *a, const char16_t *b, int lengthUnits);
/* Compares two UTF-8 fields without regard to case: <0, 0, >0. */
WISAM_API int cmpNoCaseUtf8(const void *a, const void *b, int lengthBytes);
/* Compares two keys of index (counted from 0) as the index orders them; compareLength
 * 0 uses the index's current length. */
WISAM_API int customKeyCmp(IsFile *f, const void *a, const void *b, int compareLength,
                           int index);
/* Builds the key of index (counted from 0) from record into key. */
WISAM_API int customKeyMake(IsFile *f, void *key, const void *record, int index);

/* Unique ids */
/* Sets the file's unique-id counter to value. */
WISAM_API int isSetUnique(IsFile *f, int32_t value);
/* Sets the unique-id counter to value when that is larger. */
WISAM_API int isSetUniqueIfBigger(IsFile *f, int32_t value);
/* Stores the next unique id in *id and advances the counter. */
WISAM_API int isUniqueId(IsFile *f, int32_t *id);
/* Reserves count ids: *first receives the counter, which advances by count. */
WISAM_API int isUniqueIds(IsFile *f, int32_t *first, int32_t count);

/* ------------------------------------------------------------------------ */
/* Maintenance                                                               */
/* ------------------------------------------------------------------------ */

/* Checks the data file's slots and free list; returns isCheckMsg bits (0: clean,
 * bit 0x1: the check itself failed). */
WISAM_API int isCheckData(IsFile *f);
/* Checks index 1.. against the data: order, count and keys; returns isCheckMsg bits
 * (0: clean, 0x8: the check itself failed). */
WISAM_API int isCheckIndex(IsFile *f, int index);
/* Rebuilds the data free list from the slots; kind 2 (data records) is the only one. */
WISAM_API int isRebuildFree(IsFile *f, int kind);
/* Rebuilds index 1.. from the records. */
WISAM_API int isRebuildIdx(IsFile *f, int index);
/* Builds an empty file newName with f's record layout and indexes, open like f. */
WISAM_API IsFile *isClone(IsFile *f, const char16_t *newName);
/* Copies every record of source into destination (key: in that index's order, NULL:
 * record-number order). */
WISAM_API int isCopy(IsFile *destination, IsFile *source, KeyDesc *key);
/* Rewrites the file with its records in key's order, then replaces it; returns the new
 * handle (f is closed). */
WISAM_API IsFile *isCluster(IsFile *f, KeyDesc *key);

/* ------------------------------------------------------------------------ */
/* Caches and profiling                                                      */
/* ------------------------------------------------------------------------ */

/* Starts the block caches of the handle (done at open when isFileCacheActive). */
WISAM_API void startFileCache(IsFile *f);
/* Writes back and stops the handle's block caches. */
WISAM_API void stopFileCache(IsFile *f);
/* Writes back and empties the handle's block caches. */
WISAM_API void clearFileCache(IsFile *f);
/* Empties the handle's data cache only. */
WISAM_API void clearDatFileCache(IsFile *f);
/* Starts the process-wide index cache shared by every handle. */
WISAM_API void startGlobalIndexCache(void);
/* Stops the process-wide index cache. */
WISAM_API void stopGlobalIndexCache(void);
/* Empties the process-wide index cache of f's blocks. */
WISAM_API void clearGlobalIndexCache(IsFile *f);
/* Writes the blocks the handle's caches hold changed to the files. */
WISAM_API int writeBackChanges(IsFile *f);
/* Each argument receives one 64-bit counter as two 32-bit words, low first. */
WISAM_API void getIsamProfileData(uint32_t *requested2, uint32_t *readIntoCache2,
                                  uint32_t *throughCache2, uint32_t *written2);
/* Sets the tag that the profiling callbacks receive for this handle. */
WISAM_API int isSetProfileTag(IsFile *f, int32_t tag);

/* ------------------------------------------------------------------------ */
/* Exported data                                                             */
/* ------------------------------------------------------------------------ */

WISAM_API extern char isstat1, isstat2, isstat3, isstat4;
WISAM_API extern const char *is_errlist[]; /* texts of 100..134 */
WISAM_API extern int is_nerr;              /* 134 */
WISAM_API extern const char *isCheckMsg[16];
WISAM_API extern const char *isversnumber; /* "6.12" */
WISAM_API extern const char *iscopyright;

/* Configuration words: written by the host, only read by the library.
 * isForceCommit: non-zero flushes the data and index files to the device at
 * the end of a lock kept across calls, and makes isCommit flush the log
 * after the commit record before it returns; 2 also flushes the files of the
 * transaction's handles (data, then index) before the commit record. */
WISAM_API extern int32_t isFileCacheActive, isWriteBackActive, isGlobalIndexCacheActive,
    isFileCacheMaxMemUsage, isDefaultDataCacheLines, isDefaultDataCacheAssociativity,
    isDefaultIndexCacheLines, isDefaultIndexCacheAssociativity, isGlobalIndexCacheLines,
    isGlobalIndexCacheAssociativity, isForceCommit, isDeadlockThreshold;

/* isJournalMode: 1 (at load) makes every change atomic against the death of
 * the process and a failing or full disk: each changing call (or a lock kept
 * across calls, as a whole) reaches the files only at its end, after the
 * bytes it replaces went to a rollback journal N.wjn beside N.wox; a process
 * that dies half-way leaves a journal that the next process to lock the file
 * (or open it) applies, so that the file is as before the change, never
 * between, and a change whose writes fail is taken back at once.  2 also
 * survives a power loss: the journal is flushed before the files are written
 * and the files before the change returns.  Any other non-zero value means 2.
 * 0 writes changes in place as they are made: faster for single calls, but a
 * process killed or a disk failing mid-change can leave indexes that disagree
 * with the data.  Every process sharing a file looks for a journal left
 * behind, whatever its own mode; a handle opened with ISNOLOCK neither writes
 * nor applies one.  N.wjn exists only while the file is open: the last close
 * of any process removes it when nothing is left to apply.  isErase and
 * isRename take the journal file along. */
WISAM_API extern int32_t isJournalMode;

/* Host callbacks: null at load; a null callback is skipped. */
WISAM_API extern int32_t (*lockingDeadLock)(IsFile *f, int32_t inRecordArea, int32_t error,
                                            int64_t offset, int32_t length);
WISAM_API extern void (*lowLevelProfileCallback)(int32_t tag, int32_t event, int32_t phase);
WISAM_API extern void (*ioCallback)(int32_t isDataFile, int32_t operation, int32_t descriptor,
                                    int32_t block);
WISAM_API extern void (*tableLockCallback)(IsFile *f);

#ifdef __cplusplus
}
#endif

#endif /* WISAM_H */
