// The descriptions of an open table: its properties, its fields (as stored or as the
// caller's record buffer holds them) and the tags of its production index.
#include <algorithm>
#include <cstring>

#include "idapi/core/language.h"
#include "idapi/engine/engine_internal.h"
#include "text/ascii.h"

namespace idapi::engine {
namespace {

// Logical type, subtype and buffer size of a field as reported with xltFIELD.
struct Logical {
  UINT16 type, subType, size;
};

Logical logicalOf(const core::Field& f) {
  switch (f.type) {
    case 'C': return {fldZSTRING, 0, static_cast<UINT16>(f.length + 1)};
    case 'N':
    case 'F':
      if (f.decimals == 0 && f.length < 5) return {fldINT16, 0, 2};
      if (f.decimals == 0 && f.length < 10) return {fldINT32, 0, 4};
      return {fldFLOAT, 0, 8};
    case 'D': return {fldDATE, 0, 4};
    case 'L': return {fldBOOL, 0, 2};
    case 'M': return {fldBLOB, fldstMEMO, 10};
    case 'B': return {fldBLOB, fldstBINARY, 10};
    case 'G': return {fldBLOB, fldstDBSOLEOBJ, 10};
    case 'I': return {fldINT32, 0, 4};
    case '+': return {fldINT32, 0, 4};
    case 'O': return {fldFLOAT, 0, 8};
    case '@': return {fldTIMESTAMP, 0, 8};
    default: return {fldBYTES, 0, f.length};
  }
}

UINT16 physicalOf(char type) {
  switch (type) {
    case 'C': return fldDBCHAR;
    case 'N': return fldDBNUM;
    case 'M': return fldDBMEMO;
    case 'L': return fldDBBOOL;
    case 'D': return fldDBDATE;
    case 'F': return fldDBFLOAT;
    case 'G': return fldDBOLEBLOB;
    case 'B': return fldDBBINARY;
    case 'I': return fldDBLONG;
    case '@': return fldDBDATETIME;
    case 'O': return fldDBDOUBLE;
    case '+': return fldDBAUTOINC;
    default: return fldDBBYTES;
  }
}

UINT16 recordBufferSize(const Cursor& c) {
  if (c.xlt == xltNONE) return c.table.recordLength;
  uint32_t total = 0;
  for (const auto& f : c.table.fields) total += logicalOf(f).size;
  return static_cast<UINT16>(std::min<uint32_t>(total, 0xFFFF));
}

// Field number (1-based) of a key expression that is just a field name, else 0.
UINT16 plainField(const core::TableHeader& table, const std::string& expression) {
  std::string e = text::upperAscii(expression);
  e.erase(0, e.find_first_not_of(' '));
  e.erase(e.find_last_not_of(' ') + 1);
  for (size_t i = 0; i < table.fields.size(); ++i)
    if (text::upperAscii(table.fields[i].name) == e) return static_cast<UINT16>(i + 1);
  return 0;
}

}  // namespace

void describeCursor(const Cursor& c, CURProps& props) {
  CURProps p;
  std::memset(&p, 0, sizeof p);
  copyText(p.szName, sizeof p.szName, c.tableName);
  p.iFNameSize = static_cast<UINT16>(std::min<size_t>(c.dbfPath.size() + 1, 0xFFFF));
  copyText(p.szTableType, sizeof p.szTableType, "DBASE");
  p.iFields = static_cast<UINT16>(c.table.fields.size());
  p.iRecSize = recordBufferSize(c);
  p.iRecBufSize = recordBufferSize(c);
  p.iKeySize = c.activeTag >= 0 ? c.index->tags[static_cast<size_t>(c.activeTag)].keyLength : 0;
  p.iIndexes = c.index ? static_cast<UINT16>(c.index->tags.size()) : 0;
  p.iBookMarkSize = 4;
  p.bBookMarkStable = 1;
  p.eOpenMode = c.openMode;
  p.eShareMode = c.shareMode;
  p.bIndexed = c.activeTag >= 0;
  p.iSeqNums = 0;
  p.bSoftDeletes = 1;
  p.bDeletedOn = 0;
  p.exltMode = c.xlt;
  p.bUniDirectional = c.uniDirectional;
  p.eprvRights = c.openMode == dbiREADONLY ? prvREADONLY : prvFULL;
  p.iCodePage = core::LanguageRules::of(c.table).codePage();
  p.iTblLevel = static_cast<UINT16>(c.table.level);
  copyText(p.szLangDriver, sizeof p.szLangDriver, c.table.languageDriver);
  p.iBlockSize = c.index ? static_cast<UINT16>(c.index->blockPages / 2) : 0;  // in KiB
  std::memcpy(&props, &p, sizeof p);
}

void describeFields(const Cursor& c, FLDDesc* fields) {
  UINT16 offset = 0;
  for (size_t i = 0; i < c.table.fields.size(); ++i) {
    const idapi::core::Field& f = c.table.fields[i];
    FLDDesc d;
    std::memset(&d, 0, sizeof d);
    d.iFldNum = static_cast<UINT16>(i + 1);
    copyText(d.szName, sizeof d.szName, f.name);
    d.iUnits1 = static_cast<INT16>(f.length);
    d.iUnits2 = static_cast<INT16>(f.decimals);
    if (c.xlt == xltNONE) {
      d.iFldType = physicalOf(f.type);
      d.iOffset = f.offset;
      d.iLen = f.length;
    } else {
      Logical l = logicalOf(f);
      d.iFldType = l.type;
      d.iSubType = l.subType;
      d.iOffset = offset;
      d.iLen = l.size;
      offset = static_cast<UINT16>(offset + l.size);
    }
    d.efldvVchk = fldvNOCHECKS;
    d.efldrRights = c.openMode == dbiREADONLY ? fldrREADONLY : fldrREADWRITE;
    std::memcpy(&fields[i], &d, sizeof d);
  }
}

void describeIndexes(const Cursor& c, IDXDesc* indexes) {
  if (!c.index) return;
  std::string file = fileNameOf(c.mdxPath);
  for (size_t i = 0; i < c.index->tags.size(); ++i) {
    const idapi::core::TagDefinition& t = c.index->tags[i];
    IDXDesc d;
    std::memset(&d, 0, sizeof d);
    copyText(d.szName, sizeof d.szName, file);
    d.iIndexId = static_cast<UINT16>(i + 1);
    copyText(d.szTagName, sizeof d.szTagName, t.name);
    d.bPrimary = 0;
    d.bUnique = t.unique;
    d.bDescending = t.descending;
    d.bMaintained = 1;
    d.bSubset = !t.forExpression.empty();
    UINT16 field = plainField(c.table, t.keyExpression);
    d.bExpIdx = field == 0;
    d.iFldsInKey = 1;
    d.iKeyLen = t.keyLength;
    d.bOutofDate = 0;
    d.iKeyExpType = t.keyType == 'N' ? fldDBNUM : t.keyType == 'D' ? fldDBDATE : fldDBCHAR;
    d.aiKeyFld[0] = field;
    copyText(d.szKeyExp, sizeof d.szKeyExp, t.keyExpression);
    copyText(d.szKeyCond, sizeof d.szKeyCond, t.forExpression);
    d.iBlockSize = static_cast<UINT16>(c.index->blockPages * 512u);
    d.abDescending[0] = t.descending;
    std::memcpy(&indexes[i], &d, sizeof d);
  }
}

}  // namespace idapi::engine
