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
 * are never kept past the call.  One handle must not be used by two threads
 * at once; opening and closing must not overlap other calls.
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

WISAM_API int isErrno(IsFile *f);
WISAM_API int isErrio(IsFile *f);
WISAM_API int32_t isRecnum(IsFile *f);
WISAM_API int32_t isReclen(IsFile *f);
WISAM_API int isSetrec(IsFile *f, int32_t recnum);
WISAM_API int isSetlen(IsFile *f, int length); /* stored as int16_t */
WISAM_API int isThreaded(void);
typedef void (*IsFatalHook)(const char *message);
WISAM_API IsFatalHook isFatal(IsFatalHook hook);
WISAM_API int isCleanUp(void);

/* ------------------------------------------------------------------------ */
/* Value encoders (stores return 0)                                          */
/* ------------------------------------------------------------------------ */

WISAM_API int ldInt(const void *src);
WISAM_API int stInt(int value, void *dst);
WISAM_API int32_t ldLong(const void *src);
WISAM_API int stLong(int32_t value, void *dst);
WISAM_API uint64_t ldTime(const void *src);
WISAM_API int stTime(uint64_t value, void *dst);
WISAM_API float ldFloat(const void *src);
WISAM_API int stFloat(float value, void *dst);
WISAM_API double ldDbl(const void *src);
WISAM_API int stDbl(double value, void *dst);
WISAM_API float ldFltNull(const void *src, int16_t *isNull);
WISAM_API int stFltNull(float value, void *dst, int16_t isNull);
WISAM_API double ldDblNull(const void *src, int16_t *isNull);
WISAM_API int stDblNull(double value, void *dst, int16_t isNull);
WISAM_API int ldChar(const void *src, int length, char *dst);
WISAM_API int stChar(const char *src, void *dst, int length);
WISAM_API int ldWChar(const void *src, int lengthBytes, char16_t *dst);
WISAM_API int stWChar(const char16_t *src, void *dst, int lengthBytes);

/* ------------------------------------------------------------------------ */
/* File lifecycle and information                                           */
/* ------------------------------------------------------------------------ */

WISAM_API IsFile *isBuild(const char16_t *name, int recordLength, int maxRecordLength,
                          KeyDesc *key, int mode);
WISAM_API IsFile *isOpen(const char16_t *name, int mode);
WISAM_API int isClose(IsFile *f);
WISAM_API int isSetMode(IsFile *f, int lockMode);
WISAM_API int isLockCheck(IsFile *f, int on);
WISAM_API int isPrecious(IsFile *f, int on);
WISAM_API int isErase(const char16_t *name);
WISAM_API int isRename(const char16_t *oldName, const char16_t *newName);
WISAM_API int isUserInfo(IsFile *f, int operation, void *area10);
WISAM_API int isIsamInfo(IsFile *f, IsamInfo *info);
WISAM_API int isIndexInfo(IsFile *f, void *buffer, int index); /* KeyDesc or IsamInfo */

/* Indexes */
WISAM_API int isAddIndex(IsFile *f, KeyDesc *key);
WISAM_API int isDelIndex(IsFile *f, KeyDesc *key);

/* ------------------------------------------------------------------------ */
/* Records                                                                   */
/* ------------------------------------------------------------------------ */

WISAM_API int isWrite(IsFile *f, const void *record);
WISAM_API int isWrLock(IsFile *f, const void *record);
WISAM_API int isWrCurr(IsFile *f, const void *record);
WISAM_API int isRead(IsFile *f, void *record, int mode);
WISAM_API int isStart(IsFile *f, KeyDesc *key, int keyLength, void *record, int mode);
WISAM_API int isGoto(IsFile *f, int32_t recnum);
WISAM_API int isIndex(IsFile *f, int index);
WISAM_API int isData(IsFile *f, void *record, int32_t recnum);
WISAM_API int isPush(IsFile *f, int *index, int32_t *recnum);
WISAM_API int isPop(IsFile *f, int index, int32_t recnum);
WISAM_API int isGetLastRec(IsFile *f, int32_t *recnum);
WISAM_API int isSetLastRec(IsFile *f, int32_t recnum);
WISAM_API int isLastRec(IsFile *f, int32_t *recnum);
WISAM_API int writeToCurRec(IsFile *f, const void *record);
WISAM_API int isDelete(IsFile *f, const void *record);
WISAM_API int isDelCurr(IsFile *f);
WISAM_API int isDelRec(IsFile *f, int32_t recnum);
WISAM_API int isRewrite(IsFile *f, const void *record);
WISAM_API int isRewCurr(IsFile *f, const void *record);
WISAM_API int isRewRec(IsFile *f, int32_t recnum, const void *record);
WISAM_API int isRewNxt(IsFile *f, const void *record);

/* ------------------------------------------------------------------------ */
/* Locks                                                                     */
/* ------------------------------------------------------------------------ */

WISAM_API int isLock(IsFile *f);
WISAM_API int isUnLock(IsFile *f);
WISAM_API int isRelease(IsFile *f);
WISAM_API int isRelRec(IsFile *f, int32_t recnum);
WISAM_API int isRelCurr(IsFile *f);
WISAM_API int isSetCustomLock(IsFile *f, int request);
WISAM_API int isLockTest(IsFile *f, int32_t recnum);
WISAM_API int isSpecialLockTest(IsFile *f, int32_t recnum);

/* ------------------------------------------------------------------------ */
/* Transactions (no handle; failures reported through errno)                 */
/* ------------------------------------------------------------------------ */

typedef int32_t (*IsTxnIdCallback)(void);
WISAM_API int isTxnInit(IsTxnIdCallback callback);
WISAM_API int isLogOpen(const char16_t *name);
WISAM_API int isLogClose(void);
WISAM_API int isBegin(void);
WISAM_API int isCommit(void);
WISAM_API int isRollBack(void);
WISAM_API int isRecover(void);
WISAM_API int isAdmDtoI(IsFile *f);
WISAM_API IsFile *isAdmItoD(int number);
WISAM_API IsFile *isAdmTxnLast(void);

/* What isRecover does with the transactions the log holds no end record
 * for (their process died before commit or rollback): 0 (the default) redoes
 * their operations and keeps them; 1 redoes them and then rolls them back at
 * the end of the pass, so that a copy taken when the log began plus the log
 * gives exactly the committed state. */
WISAM_API extern int32_t isRecoverRollback;

/* Variable-length records */
WISAM_API int isCheckVarlen(IsFile *f, int32_t *statistics6); /* may be NULL */

/* ------------------------------------------------------------------------ */
/* Collations                                                                */
/* ------------------------------------------------------------------------ */

WISAM_API int cmpdevicetag(const void *a, const void *b, int lengthBytes);
WISAM_API int wcmpdevicetag(const char16_t *a, const char16_t *b, int lengthUnits);
WISAM_API int cmpNoCaseUtf8(const void *a, const void *b, int lengthBytes);
WISAM_API int customKeyCmp(IsFile *f, const void *a, const void *b, int compareLength,
                           int index);
WISAM_API int customKeyMake(IsFile *f, void *key, const void *record, int index);

/* Unique ids */
WISAM_API int isSetUnique(IsFile *f, int32_t value);
WISAM_API int isSetUniqueIfBigger(IsFile *f, int32_t value);
WISAM_API int isUniqueId(IsFile *f, int32_t *id);
WISAM_API int isUniqueIds(IsFile *f, int32_t *first, int32_t count);

/* ------------------------------------------------------------------------ */
/* Maintenance                                                               */
/* ------------------------------------------------------------------------ */

WISAM_API int isCheckData(IsFile *f);
WISAM_API int isCheckIndex(IsFile *f, int index);
WISAM_API int isRebuildFree(IsFile *f, int kind);
WISAM_API int isRebuildIdx(IsFile *f, int index);
WISAM_API IsFile *isClone(IsFile *f, const char16_t *newName);
WISAM_API int isCopy(IsFile *destination, IsFile *source, KeyDesc *key);
WISAM_API IsFile *isCluster(IsFile *f, KeyDesc *key);

/* ------------------------------------------------------------------------ */
/* Caches and profiling                                                      */
/* ------------------------------------------------------------------------ */

WISAM_API void startFileCache(IsFile *f);
WISAM_API void stopFileCache(IsFile *f);
WISAM_API void clearFileCache(IsFile *f);
WISAM_API void clearDatFileCache(IsFile *f);
WISAM_API void startGlobalIndexCache(void);
WISAM_API void stopGlobalIndexCache(void);
WISAM_API void clearGlobalIndexCache(IsFile *f);
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
