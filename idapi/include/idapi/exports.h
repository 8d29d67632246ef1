// The functions the engine library exports, in the order of their ordinals (the first
// is ordinal 1): each with the bytes of arguments a 32-bit caller pushes (stdcall).
// This is the one list of them. The build writes the library's .def file and version
// script from these lines (idapi/exports.cmake), the export checks compare the built
// libraries with them, and the launcher's binding makes its slots from them.
//
// Include it with IDAPI_EXPORT(name, argumentBytes) defined; it is undefined at the
// end, so that the list can be included again with another definition. Keep one
// entry a line, as the build reads them.
#ifndef IDAPI_EXPORT
#error "define IDAPI_EXPORT(name, argumentBytes) before including idapi/exports.h"
#endif

IDAPI_EXPORT(DbiInitFn, 8)
IDAPI_EXPORT(DbiExit, 0)
IDAPI_EXPORT(DbiOpenDatabase, 36)
IDAPI_EXPORT(DbiCloseDatabase, 4)
IDAPI_EXPORT(DbiSetDirectory, 8)
IDAPI_EXPORT(DbiOpenTable, 48)
IDAPI_EXPORT(DbiCloseCursor, 4)
IDAPI_EXPORT(DbiGetCursorProps, 8)
IDAPI_EXPORT(DbiGetFieldDescs, 8)
IDAPI_EXPORT(DbiGetIndexDescs, 8)
IDAPI_EXPORT(DbiSetToBegin, 4)
IDAPI_EXPORT(DbiRegenIndexes, 4)
IDAPI_EXPORT(DbiGetErrorString, 8)
IDAPI_EXPORT(DbiGetErrorEntry, 12)
IDAPI_EXPORT(DbiGetErrorContext, 8)
IDAPI_EXPORT(DbiGetErrorInfo, 8)

#undef IDAPI_EXPORT
