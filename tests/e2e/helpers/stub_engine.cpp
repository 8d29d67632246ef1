// stub_idapi32.dll: an engine library for one end-to-end check of the launcher's binding
// (copied into a program folder as IDAPI32.DLL, never shipped). It starts, opens the
// standard database, and answers every table open with "not found"; its error-stack
// entry fills all 128 bytes of the caller's buffer with text and no terminator, which
// the launcher must read whole and no further.
#include <cstring>

#include "idapi/dbi.h"

extern "C" {

DBIResult DBIFN DbiInitFn(UINT16, pDBIEnv) { return DBIERR_NONE; }
DBIResult DBIFN DbiExit(void) { return DBIERR_NONE; }
DBIResult DBIFN DbiOpenDatabase(const char*, const char*, DBIOpenMode, DBIShareMode, const char*, UINT16, pFLDDesc,
                                void*, phDBIDb phDb) {
  static int database;
  *phDb = &database;
  return DBIERR_NONE;
}
DBIResult DBIFN DbiCloseDatabase(phDBIDb phDb) {
  *phDb = nullptr;
  return DBIERR_NONE;
}
DBIResult DBIFN DbiSetDirectory(hDBIDb, const char*) { return DBIERR_NONE; }
DBIResult DBIFN DbiOpenTable(hDBIDb, const char*, const char*, const char*, const char*, UINT16, DBIOpenMode,
                             DBIShareMode, XLTMode, BOOLDBI, void*, phDBICur phCursor) {
  *phCursor = nullptr;
  return DBIERR_NOSUCHFILE;
}
DBIResult DBIFN DbiCloseCursor(phDBICur phCursor) {
  *phCursor = nullptr;
  return DBIERR_NONE;
}
DBIResult DBIFN DbiGetCursorProps(hDBICur, pCURProps) { return DBIERR_INVALIDHNDL; }
DBIResult DBIFN DbiGetFieldDescs(hDBICur, pFLDDesc) { return DBIERR_INVALIDHNDL; }
DBIResult DBIFN DbiGetIndexDescs(hDBICur, pIDXDesc) { return DBIERR_INVALIDHNDL; }
DBIResult DBIFN DbiSetToBegin(hDBICur) { return DBIERR_INVALIDHNDL; }
DBIResult DBIFN DbiRegenIndexes(hDBICur) { return DBIERR_INVALIDHNDL; }
DBIResult DBIFN DbiGetErrorString(DBIResult, char* pszError) {
  std::strcpy(pszError, "Le fichier n'existe pas");
  return DBIERR_NONE;
}
DBIResult DBIFN DbiGetErrorEntry(UINT16 uEntry, UINT32* pulNativeError, char* pszError) {
  *pulNativeError = 0;
  if (uEntry != 1) {
    pszError[0] = '\0';
    return DBIERR_NONE;
  }
  std::memset(pszError, 'x', DBIMAXMSGLEN + 1);  // all 128 bytes, no terminator
  return DBIERR_NOSUCHFILE;
}
DBIResult DBIFN DbiGetErrorContext(INT16, char* pszContext) {
  pszContext[0] = '\0';
  return DBIERR_NONE;
}
DBIResult DBIFN DbiGetErrorInfo(BOOLDBI, pDBIErrInfo pErrInfo) {
  std::memset(pErrInfo, 0, sizeof *pErrInfo);
  return DBIERR_NONE;
}

}  // extern "C"
