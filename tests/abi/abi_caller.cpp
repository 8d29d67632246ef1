// abi_caller: calls every function of a 32-bit IDAPI32.DLL the way a program built
// against the engine's published interface does, without our own header: each
// function is found with GetProcAddress under its plain name and called through a
// small assembly thunk that pushes 4-byte argument slots right to left. After every
// call the thunk compares the stack pointer with its value before the arguments were
// pushed (a stdcall function removes its own arguments, exactly that many bytes) and
// checks that EBX, ESI and EDI survived. Result codes are 16 bits: the upper half of
// EAX is ignored, and 16-bit arguments carry garbage in the upper half of their slot,
// which the library must ignore. Structures are plain byte buffers of the documented
// sizes, read at the documented offsets, with guard bytes behind them that must stay
// untouched.
//
//   abi_caller IDAPI32.DLL TABLE.DBF
// TABLE.DBF must have a production index. Prints one line per check and PASSED or
// FAILED; exit status 0 when every check passed.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#if !defined(__i386__)
#error "abi_caller checks the 32-bit calling convention: build it for i686"
#endif

extern "C" uint32_t abi_call(const void* fn, const uint32_t* args, uint32_t count, int32_t* drift, uint32_t* clobbered);

// The thunk (cdecl itself): saves the stack pointer, pushes the slots, loads canaries
// into the callee-saved registers, calls, then reports the stack drift and which
// canaries changed.
asm(R"(
    .data
    .balign 4
_abi_esp_before:
    .long 0
    .text
    .globl _abi_call
_abi_call:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl 12(%ebp), %esi
    movl 16(%ebp), %ecx
    movl %esp, _abi_esp_before
1:
    testl %ecx, %ecx
    jz 2f
    decl %ecx
    pushl (%esi,%ecx,4)
    jmp 1b
2:
    movl 8(%ebp), %eax
    movl $0x5EB0C0DE, %ebx
    movl $0x51E5A1ED, %esi
    movl $0x0ED1C0DE, %edi
    call *%eax
    movl %esp, %ecx
    subl _abi_esp_before, %ecx
    movl 20(%ebp), %edx
    movl %ecx, (%edx)
    xorl %ecx, %ecx
    cmpl $0x5EB0C0DE, %ebx
    je 3f
    orl $1, %ecx
3:
    cmpl $0x51E5A1ED, %esi
    je 4f
    orl $2, %ecx
4:
    cmpl $0x0ED1C0DE, %edi
    je 5f
    orl $4, %ecx
5:
    movl 24(%ebp), %edx
    movl %ecx, (%edx)
    movl _abi_esp_before, %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret
)");

namespace {

// Sizes and values from the engine's published interface.
constexpr uint32_t kInterfaceVersion = 500;
constexpr size_t kEnvSize = 588, kFieldSize = 62, kCursorPropsSize = 427, kIndexSize = 893, kErrInfoSize = 642;
constexpr size_t kMessageSize = 128;
constexpr uint16_t kMultipleInit = 0x2A07, kNoSuchFile = 0x2704, kNotInitialized = 0x2A06;
constexpr uint32_t kReadWrite = 0, kShared = 0, kExclusive = 1, kFieldTranslation = 2;
constexpr uint32_t kContextTableName = 3;
// Garbage for the upper half of a 16-bit argument's slot.
constexpr uint32_t kHighGarbage = 0xA5A50000u;

int failures = 0;

void check(bool ok, const std::string& what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
  if (!ok) ++failures;
}

uint32_t slot(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

struct Export {
  const char* name;
  uint32_t argBytes;
  const void* address = nullptr;
};

// Every function the library exports, with its argument bytes.
Export exports[] = {
#define IDAPI_EXPORT(name, argumentBytes) {#name, argumentBytes},
#include "idapi/exports.h"
};

// Calls `name` with the given slots; checks the slot count against the documented
// argument bytes, the stack after the call and the callee-saved registers.
uint16_t call(const char* name, std::vector<uint32_t> args) {
  for (const Export& e : exports) {
    if (std::strcmp(e.name, name) != 0) continue;
    if (!e.address || e.argBytes != args.size() * 4) {
      check(false, std::string(name) + ": no such export or wrong argument count");
      return 0xFFFF;
    }
    int32_t drift = 0;
    uint32_t clobbered = 0;
    const uint32_t eax = abi_call(e.address, args.data(), static_cast<uint32_t>(args.size()), &drift, &clobbered);
    if (drift != 0) check(false, std::string(name) + ": stack pointer moved by " + std::to_string(drift) + " bytes");
    if (clobbered)
      check(false, std::string(name) + ": callee-saved registers changed (mask " + std::to_string(clobbered) + ")");
    return static_cast<uint16_t>(eax & 0xFFFF);
  }
  check(false, std::string(name) + ": not in the list of exports");
  return 0xFFFF;
}

// A buffer of `size` bytes followed by guard bytes that must stay untouched.
class Buffer {
 public:
  explicit Buffer(size_t size, size_t count = 1) : size_(size * count), bytes_(size_ + kGuard, 0xCC) {}
  uint8_t* data() { return bytes_.data(); }
  bool guardIntact() const {
    for (size_t i = size_; i < bytes_.size(); ++i)
      if (bytes_[i] != 0xCC) return false;
    return true;
  }
  uint16_t u16(size_t at) const { return static_cast<uint16_t>(bytes_[at] | bytes_[at + 1] << 8); }
  uint32_t u32(size_t at) const { return u16(at) | static_cast<uint32_t>(u16(at + 2)) << 16; }
  // A NUL-terminated text of at most `room` bytes (empty when it is not terminated).
  std::string text(size_t at, size_t room) const {
    const auto* begin = reinterpret_cast<const char*>(bytes_.data() + at);
    const void* end = std::memchr(begin, 0, room);
    return end ? std::string(begin, static_cast<const char*>(end)) : std::string();
  }

 private:
  static constexpr size_t kGuard = 64;
  size_t size_;
  std::vector<uint8_t> bytes_;
};

std::string readFile(const char* path) {
  std::string bytes;
  if (FILE* f = std::fopen(path, "rb")) {
    char chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes.append(chunk, got);
    std::fclose(f);
  }
  return bytes;
}

std::string upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

// Field names from the table's header, and tag names from its production index.
std::vector<std::string> fieldNames(const std::string& dbf) {
  std::vector<std::string> names;
  if (dbf.size() < 32) return names;
  const bool level7 = (dbf[0] & 0x07) == 4;
  const size_t first = level7 ? 68 : 32, size = level7 ? 48 : 32, length = level7 ? 32 : 11;
  for (size_t at = first; at + size <= dbf.size() && dbf[at] != '\r'; at += size)
    names.push_back(std::string(dbf.c_str() + at, strnlen(dbf.c_str() + at, length)));
  return names;
}

std::vector<std::string> tagNames(const std::string& mdx) {
  std::vector<std::string> names;
  if (mdx.size() < 544) return names;
  const size_t count = static_cast<uint8_t>(mdx[28]) | static_cast<uint8_t>(mdx[29]) << 8;
  for (size_t i = 0; i < count && 544 + 32 * (i + 1) <= mdx.size(); ++i)
    names.push_back(std::string(mdx.c_str() + 544 + 32 * i + 4, strnlen(mdx.c_str() + 544 + 32 * i + 4, 11)));
  return names;
}

// The thunk's own check: a stdcall function leaves the stack as it found it, a cdecl
// one leaves its arguments behind, and a changed EBX is seen.
uint32_t __stdcall stdcallPair(uint32_t a, uint32_t b) { return a + b; }
uint32_t __cdecl cdeclPair(uint32_t a, uint32_t b) { return a + b; }
extern "C" uint32_t __stdcall clobbersEbx(uint32_t);
asm(R"(
    .text
_clobbersEbx@4:
    movl $0, %ebx
    movl 4(%esp), %eax
    ret $4
)");

bool thunkWorks() {
  const uint32_t args[] = {40, 2};
  int32_t drift = 1;
  uint32_t clobbered = 9;
  bool ok = abi_call(reinterpret_cast<const void*>(&stdcallPair), args, 2, &drift, &clobbered) == 42 && drift == 0 &&
            clobbered == 0;
  ok = ok && abi_call(reinterpret_cast<const void*>(&cdeclPair), args, 2, &drift, &clobbered) == 42 && drift == -8;
  ok = ok && abi_call(reinterpret_cast<const void*>(&clobbersEbx), args, 1, &drift, &clobbered) == 40 && drift == 0 &&
       clobbered == 1;
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: abi_caller IDAPI32.DLL TABLE.DBF\n");
    return 2;
  }
  HMODULE dll = LoadLibraryA(argv[1]);
  if (!dll) {
    std::printf("FAIL cannot load %s (%lu)\nFAILED\n", argv[1], GetLastError());
    return 1;
  }
  check(thunkWorks(), "the call thunk tells stdcall from cdecl and sees a changed EBX");
  for (Export& e : exports) {
    e.address = reinterpret_cast<const void*>(GetProcAddress(dll, e.name));
    check(e.address != nullptr, std::string("export ") + e.name);
  }
  if (failures) {
    std::printf("FAILED\n");
    return 1;
  }
  const char* table = argv[2];
  const std::string dbfBytes = readFile(table);
  std::string mdxPath = std::string(table).substr(0, std::strlen(table) - 4) + ".MDX";
  const std::vector<std::string> fields = fieldNames(dbfBytes);
  const std::vector<std::string> tags = tagNames(readFile(mdxPath.c_str()));
  check(!fields.empty() && !tags.empty(), "the table has fields and its index has tags");

  Buffer message(kMessageSize);
  check(call("DbiGetErrorString", {kHighGarbage | kNotInitialized, slot(message.data())}) == 0 &&
            !message.text(0, kMessageSize).empty() && message.guardIntact(),
        "error text before the start, in 128 bytes");

  Buffer env(kEnvSize);
  std::memset(env.data(), 0, kEnvSize);
  std::memcpy(env.data() + 524, "000C", 5);  // szLang
  check(call("DbiInitFn", {kHighGarbage | kInterfaceVersion, slot(env.data())}) == 0, "start with version 500");
  check(call("DbiInitFn", {kHighGarbage | kInterfaceVersion, slot(env.data())}) == kMultipleInit,
        "second start answers 2A07");
  check(env.guardIntact(), "the environment is read within its 588 bytes");

  uint32_t db = 0;
  check(call("DbiOpenDatabase", {0, 0, kReadWrite, kShared, 0, kHighGarbage | 0, 0, 0, slot(&db)}) == 0 && db != 0,
        "standard database");
  check(call("DbiSetDirectory", {db, slot("")}) == 0, "empty working directory");

  // A missing table: the error stack and its contexts.
  std::string missing = std::string(table) + ".absent.DBF";
  uint32_t cursor = 0xDEADBEEF;
  const uint16_t rc = call("DbiOpenTable", {db, slot(missing.c_str()), slot("DBASE"), 0, 0, kHighGarbage | 0,
                                            kReadWrite, kExclusive, kFieldTranslation, FALSE, 0, slot(&cursor)});
  check(rc == kNoSuchFile, "missing table answers 2704");
  uint32_t native = 0xFFFFFFFF;
  Buffer entry(kMessageSize);
  const uint16_t first = call("DbiGetErrorEntry", {kHighGarbage | 1, slot(&native), slot(entry.data())});
  // The native code is the library's to choose (ours passes the system's error code on).
  check(first == kNoSuchFile && native != 0xFFFFFFFF && !entry.text(0, kMessageSize).empty() && entry.guardIntact(),
        "error entry 1: the code, a native code written, text in 128 bytes (got " + std::to_string(first) + ")");
  Buffer context(kMessageSize);
  check(call("DbiGetErrorContext", {kHighGarbage | kContextTableName, slot(context.data())}) == 0 &&
            upper(context.text(0, kMessageSize)) == upper(missing) && context.guardIntact(),
        "table-name context is the full path");
  Buffer info(kErrInfoSize);
  check(call("DbiGetErrorInfo", {FALSE, slot(info.data())}) == 0 && info.u16(0) == kNoSuchFile &&
            !info.text(2, kMessageSize).empty() && info.guardIntact(),
        "error information: code at 0, its text at 2, within 642 bytes");

  // The table itself.
  check(call("DbiOpenTable", {db, slot(table), slot("DBASE"), 0, 0, kHighGarbage | 0, kReadWrite, kExclusive,
                              kFieldTranslation, FALSE, 0, slot(&cursor)}) == 0 &&
            cursor != 0 && cursor != 0xDEADBEEF,
        "exclusive open");
  Buffer props(kCursorPropsSize);
  check(call("DbiGetCursorProps", {cursor, slot(props.data())}) == 0 && props.guardIntact(),
        "cursor properties within 427 bytes");
  check(props.text(263, 32) == "DBASE", "szTableType at 263 is DBASE");
  check(props.u16(295) == fields.size(), "iFields at 295 is the table's field count");
  check(props.u16(303) == tags.size(), "iIndexes at 303 is the index's tag count");
  check(props.u32(313) == kReadWrite && props.u32(317) == kExclusive, "eOpenMode at 313, eShareMode at 317");
  check(props.u32(331) == kFieldTranslation, "exltMode at 331");
  const uint16_t level = props.u16(351);
  check(level == 3 || level == 4 || level == 5 || level == 7, "iTblLevel at 351 is a dBASE level");

  Buffer fieldDescs(kFieldSize, fields.size());
  check(call("DbiGetFieldDescs", {cursor, slot(fieldDescs.data())}) == 0 && fieldDescs.guardIntact(),
        "field descriptions in 62-byte steps");
  bool fieldsRight = true;
  for (size_t i = 0; i < fields.size(); ++i)
    fieldsRight = fieldsRight && fieldDescs.u16(i * kFieldSize) == i + 1 &&
                  fieldDescs.text(i * kFieldSize + 2, 32) == fields[i] && fieldDescs.u16(i * kFieldSize + 44) > 0;
  check(fieldsRight, "iFldNum at 0, szName at 2 and iLen at 44 of every field");

  Buffer indexDescs(kIndexSize, tags.size());
  check(call("DbiGetIndexDescs", {cursor, slot(indexDescs.data())}) == 0 && indexDescs.guardIntact(),
        "index descriptions in 893-byte steps");
  bool tagsRight = true;
  for (size_t i = 0; i < tags.size(); ++i) {
    const size_t at = i * kIndexSize;
    bool found = false;
    for (const auto& t : tags) found = found || indexDescs.text(at + 263, 32) == t;
    tagsRight = tagsRight && found && !indexDescs.text(at + 381, 221).empty() && indexDescs.u16(at + 343) > 0 &&
                indexDescs.u16(at + 333) != 0;
  }
  check(tagsRight, "szTagName at 263, bMaintained at 333, iKeyLen at 343, szKeyExp at 381 of every tag");

  check(call("DbiSetToBegin", {cursor}) == 0, "to the start");
  check(call("DbiRegenIndexes", {cursor}) == 0, "rebuild of the indexes");
  check(call("DbiCloseCursor", {slot(&cursor)}) == 0 && cursor == 0, "close clears the caller's handle");
  check(call("DbiCloseDatabase", {slot(&db)}) == 0 && db == 0, "database closed, handle cleared");
  check(call("DbiExit", {}) == 0, "exit");
  check(call("DbiOpenDatabase", {0, 0, kReadWrite, kShared, 0, 0, 0, 0, slot(&db)}) == kNotInitialized,
        "after the exit, calls answer 2A06");

  FreeLibrary(dll);
  std::printf("%s\n", failures ? "FAILED" : "PASSED");
  return failures ? 1 : 0;
}
