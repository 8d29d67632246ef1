// Binary interface of the database engine library IDAPI32.DLL, version 500.
//
// Shared by the launcher (which loads the library at run time and binds every
// function by its plain name) and by our own engine library (which exports the
// same functions). The layouts here must match the installed 32-bit engine to the
// byte: structures are packed to 1 byte, enumerations are 4 bytes wide, every
// boolean inside a structure is 16 bits, and every function is stdcall on 32-bit
// Windows and returns a 16-bit result code (returned in AX: never read it as int).
#ifndef IDAPI_DBI_H
#define IDAPI_DBI_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define DBIFN __stdcall
#else
#define DBIFN
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef uint8_t BYTE_DBI;
typedef int16_t INT16;
typedef uint16_t UINT16;
typedef int32_t INT32;
typedef uint32_t UINT32;
typedef int BOOLDBI;      // BOOL of function parameters: 4 bytes
typedef uint16_t BOOL16;  // every boolean inside a structure

typedef uint16_t DBIResult;

typedef void* hDBIObj;
typedef hDBIObj hDBIDb;
typedef hDBIObj hDBICur;
typedef hDBIObj hDBISes;
typedef hDBIDb* phDBIDb;
typedef hDBICur* phDBICur;

// Limits; every fixed buffer is the limit plus its terminating NUL.
enum {
  DBIMAXNAMELEN = 31,
  DBIMAXPATHLEN = 260,
  DBIMAXTBLNAMELEN = 260,
  DBIMAXMSGLEN = 127,
  DBIMAXKEYEXPLEN = 220,
  DBIMAXFLDSINKEY = 16,
  DBIMAXEXTLEN = 3
};

typedef char DBIPATH[DBIMAXPATHLEN + 1];
typedef char DBITBLNAME[DBIMAXTBLNAMELEN + 1];
typedef char DBINAME[DBIMAXNAMELEN + 1];
typedef char DBIMSG[DBIMAXMSGLEN + 1];
typedef char DBIKEYEXP[DBIMAXKEYEXPLEN + 1];
typedef UINT16 DBIKEY[DBIMAXFLDSINKEY];

#define DBIINTFVER 500
#define NODEFAULTINDEX 0xFFFF

// Enumerations travel as 4-byte integers, in structures and in argument slots.
typedef int32_t DBIOpenMode;
enum { dbiREADWRITE = 0, dbiREADONLY = 1 };
typedef int32_t DBIShareMode;
enum { dbiOPENSHARED = 0, dbiOPENEXCL = 1 };
typedef int32_t XLTMode;
enum { xltNONE = 0, xltRECORD = 1, xltFIELD = 2 };
typedef int32_t FLDVchk;
enum { fldvNOCHECKS = 0, fldvHASCHECKS = 1, fldvUNKNOWN = 2 };
typedef int32_t FLDRights;
enum { fldrREADWRITE = 0, fldrREADONLY = 1, fldrNONE = 2, fldrUNKNOWN = 3 };
typedef int32_t PRVType;
enum { prvNONE = 0, prvREADONLY = 0x01, prvMODIFY = 0x03, prvINSERT = 0x07, prvINSDEL = 0x0F, prvFULL = 0x1F };

// Table levels of the dBASE driver.
enum { TBLLEVEL3 = 3, TBLLEVEL4 = 4, TBLLEVEL5 = 5, TBLLEVEL7 = 7 };
#define mdxDISTINCT 0x0020

// Physical dBASE field types (reported with xltNONE).
enum {
  fldDBCHAR = 0x201,
  fldDBNUM = 0x202,
  fldDBMEMO = 0x203,
  fldDBBOOL = 0x204,
  fldDBDATE = 0x205,
  fldDBFLOAT = 0x206,
  fldDBLOCK = 0x207,
  fldDBOLEBLOB = 0x208,
  fldDBBINARY = 0x209,
  fldDBBYTES = 0x20A,
  fldDBLONG = 0x20B,
  fldDBDATETIME = 0x20C,
  fldDBDOUBLE = 0x20D,
  fldDBAUTOINC = 0x20E
};
// Logical field types (reported with xltFIELD).
enum {
  fldUNKNOWN = 0,
  fldZSTRING = 1,
  fldDATE = 2,
  fldBLOB = 3,
  fldBOOL = 4,
  fldINT16 = 5,
  fldINT32 = 6,
  fldFLOAT = 7,
  fldBCD = 8,
  fldBYTES = 9,
  fldTIME = 10,
  fldTIMESTAMP = 11,
  fldUINT16 = 12,
  fldUINT32 = 13,
  fldFLOATIEEE = 14,
  fldVARBYTES = 15,
  fldLOCKINFO = 16,
  fldCURSOR = 17,
  fldINT64 = 18,
  fldUINT64 = 19
};
// Blob subtypes used for dBASE memo, binary and OLE fields.
enum { fldstMEMO = 22, fldstBINARY = 23, fldstDBSOLEOBJ = 28 };

// Error contexts of DbiGetErrorContext.
enum {
  ecTOKEN = 1,
  ecTABLENAME = 3,
  ecFIELDNAME = 4,
  ecIMAGEROW = 5,
  ecUSERNAME = 6,
  ecFILENAME = 7,
  ecINDEXNAME = 8,
  ecDIRNAME = 9,
  ecKEYNAME = 10,
  ecALIAS = 11,
  ecDRIVENAME = 12,
  ecNATIVECODE = 13,
  ecNATIVEMSG = 14,
  ecLINENUMBER = 15,
  ecCAPABILITY = 16,
  ecCDRNAME = 17,
  ecUSERERRMSG = 18,
  ecDROPOBJECT = 19,
  ecINTERNALLIMIT = 20,
  ecEXPRESSION = 21
};

// Result codes: category << 8 | subcode.
#define DBIERR_NONE 0x0000
#define ERRCAT_SYSTEM 0x21
#define ERRCAT_NOTFOUND 0x22
#define ERRCAT_DATACORRUPT 0x23
#define ERRCAT_IO 0x24
#define ERRCAT_LIMIT 0x25
#define ERRCAT_INTEGRITY 0x26
#define ERRCAT_INVALIDREQ 0x27
#define ERRCAT_LOCKCONFLICT 0x28
#define ERRCAT_SECURITY 0x29
#define ERRCAT_INVALIDCONTEXT 0x2A
#define ERRCAT_OS 0x2B
#define ERRCAT_VERSION 0x2F
#define ERRCAT_CAPABILITY 0x30

#define DBIERR_CANTFINDIDAPI 0x2108
#define DBIERR_CANTLOADIDAPI 0x2109
#define DBIERR_CANTLOADLIBRARY 0x210A
#define DBIERR_OBJNOTFOUND 0x2208
#define DBIERR_BLOBFILEMISSING 0x220A
#define DBIERR_LDNOTFOUND 0x220B
#define DBIERR_HEADERCORRUPT 0x2301
#define DBIERR_FILECORRUPT 0x2302
#define DBIERR_MEMOCORRUPT 0x2303
#define DBIERR_INDEXCORRUPT 0x2305
#define DBIERR_FOREIGNINDEX 0x2309
#define DBIERR_READERR 0x2401
#define DBIERR_WRITEERR 0x2402
#define DBIERR_DIRNOACCESS 0x2403
#define DBIERR_FILENOACCESS 0x2405
#define DBIERR_NOMEMORY 0x2501
#define DBIERR_NOFILEHANDLES 0x2502
#define DBIERR_NODISKSPACE 0x2503
#define DBIERR_INVALIDPARAM 0x2702
#define DBIERR_INVALIDFILENAME 0x2703
#define DBIERR_NOSUCHFILE 0x2704
#define DBIERR_INVALIDHNDL 0x2706
#define DBIERR_UNKNOWNTBLTYPE 0x2707
#define DBIERR_UNKNOWNFILE 0x2708
#define DBIERR_NOSUCHINDEX 0x270D
#define DBIERR_INVALIDDIR 0x2722
#define DBIERR_INVALIDINDEXNAME 0x2726
#define DBIERR_NOSUCHTABLE 0x2728
#define DBIERR_USECOUNT 0x2729
#define DBIERR_INDEXOPEN 0x272C
#define DBIERR_TABLEOPEN 0x272F
#define DBIERR_LOCKED 0x2801
#define DBIERR_FILEBUSY 0x2803
#define DBIERR_DIRBUSY 0x2804
#define DBIERR_FILELOCKED 0x2805
#define DBIERR_LOCKTIMEOUT 0x2809
#define DBIERR_NEEDEXCLACCESS 0x280D
#define DBIERR_NOTSUFFTABLERIGHTS 0x2902
#define DBIERR_READONLYDIR 0x2904
#define DBIERR_NA 0x2A04
#define DBIERR_NOTINDEXED 0x2A05
#define DBIERR_NOTINITIALIZED 0x2A06
#define DBIERR_MULTIPLEINIT 0x2A07
#define DBIERR_DRIVERNOTLOADED 0x2A0A
#define DBIERR_TABLEREADONLY 0x2A0B
#define DBIERR_INDEXREADONLY 0x2A0F
#define DBIERR_OSENOENT 0x2B02
#define DBIERR_OSENOPATH 0x2B03
#define DBIERR_OSEACCES 0x2B05
#define DBIERR_OSSHAREVIOL 0x2B32
#define DBIERR_OSLOCKVIOL 0x2B33
#define DBIERR_INTERFACEVER 0x2F01
#define DBIERR_INDEXOUTOFDATE 0x2F02
#define DBIERR_TABLELEVEL 0x2F08
#define DBIERR_NOTSUPPORTED 0x3001

#pragma pack(push, 1)

typedef struct {
  DBIPATH szWorkDir;
  DBIPATH szIniFile;
  BOOL16 bForceLocalInit;
  DBINAME szLang;
  DBINAME szClientName;
} DBIEnv, *pDBIEnv;

typedef struct {
  UINT16 iFldNum;
  DBINAME szName;
  UINT16 iFldType;
  UINT16 iSubType;
  INT16 iUnits1;
  INT16 iUnits2;
  UINT16 iOffset;
  UINT16 iLen;
  UINT16 iNullOffset;
  FLDVchk efldvVchk;
  FLDRights efldrRights;
  BOOL16 bCalcField;
  UINT16 iUnUsed[2];
} FLDDesc, *pFLDDesc;

typedef struct {
  DBITBLNAME szName;
  UINT16 iFNameSize;
  DBINAME szTableType;
  UINT16 iFields;
  UINT16 iRecSize;
  UINT16 iRecBufSize;
  UINT16 iKeySize;
  UINT16 iIndexes;
  UINT16 iValChecks;
  UINT16 iRefIntChecks;
  UINT16 iBookMarkSize;
  BOOL16 bBookMarkStable;
  DBIOpenMode eOpenMode;
  DBIShareMode eShareMode;
  BOOL16 bIndexed;
  INT16 iSeqNums;
  BOOL16 bSoftDeletes;
  BOOL16 bDeletedOn;
  UINT16 iRefRange;
  XLTMode exltMode;
  UINT16 iRestrVersion;
  BOOL16 bUniDirectional;
  PRVType eprvRights;
  UINT16 iFmlRights;
  UINT16 iPasswords;
  UINT16 iCodePage;
  BOOL16 bProtected;
  UINT16 iTblLevel;
  DBINAME szLangDriver;
  BOOL16 bFieldMap;
  UINT16 iBlockSize;
  BOOL16 bStrictRefInt;
  UINT16 iFilters;
  BOOL16 bTempTable;
  UINT16 iUnUsed[16];
} CURProps, *pCURProps;

typedef struct {
  DBITBLNAME szName;
  UINT16 iIndexId;
  DBINAME szTagName;
  DBINAME szFormat;
  BOOL16 bPrimary;
  BOOL16 bUnique;
  BOOL16 bDescending;
  BOOL16 bMaintained;
  BOOL16 bSubset;
  BOOL16 bExpIdx;
  UINT16 iCost;
  UINT16 iFldsInKey;
  UINT16 iKeyLen;
  BOOL16 bOutofDate;
  UINT16 iKeyExpType;
  DBIKEY aiKeyFld;
  DBIKEYEXP szKeyExp;
  DBIKEYEXP szKeyCond;
  BOOL16 bCaseInsensitive;
  UINT16 iBlockSize;
  UINT16 iRestrNum;
  BOOL16 abDescending[DBIMAXFLDSINKEY];
  UINT16 iUnUsed[16];
} IDXDesc, *pIDXDesc;

typedef struct {
  DBIResult iError;
  DBIMSG szErrCode;
  DBIMSG szContext[4];
} DBIErrInfo, *pDBIErrInfo;

#pragma pack(pop)

// The exported functions. The launcher never links against these names: it binds
// them by name on the loaded library through the pointer types below.
DBIResult DBIFN DbiInitFn(UINT16 iVer, pDBIEnv pEnv);
DBIResult DBIFN DbiExit(void);
DBIResult DBIFN DbiOpenDatabase(const char* pszDbName, const char* pszDbType, DBIOpenMode eOpenMode,
                                DBIShareMode eShareMode, const char* pszPassword, UINT16 iOptFlds, pFLDDesc pOptFldDesc,
                                void* pOptParams, phDBIDb phDb);
DBIResult DBIFN DbiCloseDatabase(phDBIDb phDb);
DBIResult DBIFN DbiSetDirectory(hDBIDb hDb, const char* pszDir);
DBIResult DBIFN DbiOpenTable(hDBIDb hDb, const char* pszTableName, const char* pszDriverType, const char* pszIndexName,
                             const char* pszIndexTagName, UINT16 iIndexId, DBIOpenMode eOpenMode,
                             DBIShareMode eShareMode, XLTMode exltMode, BOOLDBI bUniDirectional, void* pOptParams,
                             phDBICur phCursor);
DBIResult DBIFN DbiCloseCursor(phDBICur phCursor);
DBIResult DBIFN DbiGetCursorProps(hDBICur hCursor, pCURProps pcurProps);
DBIResult DBIFN DbiGetFieldDescs(hDBICur hCursor, pFLDDesc pfldDesc);
DBIResult DBIFN DbiGetIndexDescs(hDBICur hCursor, pIDXDesc pidxDesc);
DBIResult DBIFN DbiSetToBegin(hDBICur hCursor);
DBIResult DBIFN DbiRegenIndexes(hDBICur hCursor);
DBIResult DBIFN DbiGetErrorString(DBIResult rslt, char* pszError);
DBIResult DBIFN DbiGetErrorEntry(UINT16 uEntry, UINT32* pulNativeError, char* pszError);
DBIResult DBIFN DbiGetErrorContext(INT16 eContext, char* pszContext);
DBIResult DBIFN DbiGetErrorInfo(BOOLDBI bFull, pDBIErrInfo pErrInfo);

typedef DBIResult(DBIFN* PFN_DbiInitFn)(UINT16, pDBIEnv);
typedef DBIResult(DBIFN* PFN_DbiExit)(void);
typedef DBIResult(DBIFN* PFN_DbiOpenDatabase)(const char*, const char*, DBIOpenMode, DBIShareMode, const char*, UINT16,
                                              pFLDDesc, void*, phDBIDb);
typedef DBIResult(DBIFN* PFN_DbiCloseDatabase)(phDBIDb);
typedef DBIResult(DBIFN* PFN_DbiSetDirectory)(hDBIDb, const char*);
typedef DBIResult(DBIFN* PFN_DbiOpenTable)(hDBIDb, const char*, const char*, const char*, const char*, UINT16,
                                           DBIOpenMode, DBIShareMode, XLTMode, BOOLDBI, void*, phDBICur);
typedef DBIResult(DBIFN* PFN_DbiCloseCursor)(phDBICur);
typedef DBIResult(DBIFN* PFN_DbiGetCursorProps)(hDBICur, pCURProps);
typedef DBIResult(DBIFN* PFN_DbiGetFieldDescs)(hDBICur, pFLDDesc);
typedef DBIResult(DBIFN* PFN_DbiGetIndexDescs)(hDBICur, pIDXDesc);
typedef DBIResult(DBIFN* PFN_DbiSetToBegin)(hDBICur);
typedef DBIResult(DBIFN* PFN_DbiRegenIndexes)(hDBICur);
typedef DBIResult(DBIFN* PFN_DbiGetErrorString)(DBIResult, char*);
typedef DBIResult(DBIFN* PFN_DbiGetErrorEntry)(UINT16, UINT32*, char*);
typedef DBIResult(DBIFN* PFN_DbiGetErrorContext)(INT16, char*);
typedef DBIResult(DBIFN* PFN_DbiGetErrorInfo)(BOOLDBI, pDBIErrInfo);

#ifdef __cplusplus
}  // extern "C"

// The layouts are pinned: the installed engine writes exactly these many bytes.
static_assert(sizeof(DBIResult) == 2, "DBIResult is 16 bits");
static_assert(sizeof(DBIOpenMode) == 4 && sizeof(XLTMode) == 4, "enumerations are 4 bytes");
static_assert(sizeof(DBIEnv) == 588, "DBIEnv");
static_assert(offsetof(DBIEnv, szIniFile) == 261 && offsetof(DBIEnv, bForceLocalInit) == 522 &&
                  offsetof(DBIEnv, szLang) == 524 && offsetof(DBIEnv, szClientName) == 556,
              "DBIEnv offsets");
static_assert(sizeof(FLDDesc) == 62, "FLDDesc");
static_assert(offsetof(FLDDesc, szName) == 2 && offsetof(FLDDesc, iFldType) == 34 &&
                  offsetof(FLDDesc, iSubType) == 36 && offsetof(FLDDesc, iUnits1) == 38 &&
                  offsetof(FLDDesc, iUnits2) == 40 && offsetof(FLDDesc, iOffset) == 42 &&
                  offsetof(FLDDesc, iLen) == 44 && offsetof(FLDDesc, iNullOffset) == 46 &&
                  offsetof(FLDDesc, efldvVchk) == 48 && offsetof(FLDDesc, efldrRights) == 52 &&
                  offsetof(FLDDesc, bCalcField) == 56 && offsetof(FLDDesc, iUnUsed) == 58,
              "FLDDesc offsets");
static_assert(sizeof(CURProps) == 427, "CURProps");
static_assert(offsetof(CURProps, iFNameSize) == 261 && offsetof(CURProps, szTableType) == 263 &&
                  offsetof(CURProps, iFields) == 295 && offsetof(CURProps, iRecSize) == 297 &&
                  offsetof(CURProps, iRecBufSize) == 299 && offsetof(CURProps, iKeySize) == 301 &&
                  offsetof(CURProps, iIndexes) == 303 && offsetof(CURProps, iValChecks) == 305 &&
                  offsetof(CURProps, iRefIntChecks) == 307 && offsetof(CURProps, iBookMarkSize) == 309 &&
                  offsetof(CURProps, bBookMarkStable) == 311 && offsetof(CURProps, eOpenMode) == 313 &&
                  offsetof(CURProps, eShareMode) == 317 && offsetof(CURProps, bIndexed) == 321 &&
                  offsetof(CURProps, iSeqNums) == 323 && offsetof(CURProps, bSoftDeletes) == 325 &&
                  offsetof(CURProps, bDeletedOn) == 327 && offsetof(CURProps, iRefRange) == 329 &&
                  offsetof(CURProps, exltMode) == 331 && offsetof(CURProps, iRestrVersion) == 335 &&
                  offsetof(CURProps, bUniDirectional) == 337 && offsetof(CURProps, eprvRights) == 339 &&
                  offsetof(CURProps, iFmlRights) == 343 && offsetof(CURProps, iPasswords) == 345 &&
                  offsetof(CURProps, iCodePage) == 347 && offsetof(CURProps, bProtected) == 349 &&
                  offsetof(CURProps, iTblLevel) == 351 && offsetof(CURProps, szLangDriver) == 353 &&
                  offsetof(CURProps, bFieldMap) == 385 && offsetof(CURProps, iBlockSize) == 387 &&
                  offsetof(CURProps, bStrictRefInt) == 389 && offsetof(CURProps, iFilters) == 391 &&
                  offsetof(CURProps, bTempTable) == 393 && offsetof(CURProps, iUnUsed) == 395,
              "CURProps offsets");
static_assert(sizeof(IDXDesc) == 893, "IDXDesc");
static_assert(offsetof(IDXDesc, iIndexId) == 261 && offsetof(IDXDesc, szTagName) == 263 &&
                  offsetof(IDXDesc, szFormat) == 295 && offsetof(IDXDesc, bPrimary) == 327 &&
                  offsetof(IDXDesc, bUnique) == 329 && offsetof(IDXDesc, bDescending) == 331 &&
                  offsetof(IDXDesc, bMaintained) == 333 && offsetof(IDXDesc, bSubset) == 335 &&
                  offsetof(IDXDesc, bExpIdx) == 337 && offsetof(IDXDesc, iCost) == 339 &&
                  offsetof(IDXDesc, iFldsInKey) == 341 && offsetof(IDXDesc, iKeyLen) == 343 &&
                  offsetof(IDXDesc, bOutofDate) == 345 && offsetof(IDXDesc, iKeyExpType) == 347 &&
                  offsetof(IDXDesc, aiKeyFld) == 349 && offsetof(IDXDesc, szKeyExp) == 381 &&
                  offsetof(IDXDesc, szKeyCond) == 602 && offsetof(IDXDesc, bCaseInsensitive) == 823 &&
                  offsetof(IDXDesc, iBlockSize) == 825 && offsetof(IDXDesc, iRestrNum) == 827 &&
                  offsetof(IDXDesc, abDescending) == 829 && offsetof(IDXDesc, iUnUsed) == 861,
              "IDXDesc offsets");
static_assert(sizeof(DBIErrInfo) == 642 && offsetof(DBIErrInfo, szErrCode) == 2 &&
                  offsetof(DBIErrInfo, szContext) == 130,
              "DBIErrInfo");
#endif  // __cplusplus

#endif  // IDAPI_DBI_H
