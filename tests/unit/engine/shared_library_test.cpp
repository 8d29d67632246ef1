// The host shared library, loaded at run time the way tools and outside programs use
// it: every engine function is found by its plain name and nothing else is exported.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "idapi/dbi.h"

namespace {

const char* const kFunctions[] = {
#define IDAPI_EXPORT(name, argumentBytes) #name,
#include "idapi/exports.h"
};

TEST(SharedLibrary, ExportsTheEngineFunctionsByName) {
  void* lib = dlopen(IDAPI32_SO, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  for (const char* name : kFunctions) EXPECT_NE(dlsym(lib, name), nullptr) << name;
  // Internal symbols stay inside the library.
  EXPECT_EQ(dlsym(lib,
                  "_ZN5idapi4core15readTableHeaderERKNS0_10ByteSourceERKNSt7__cxx1112basic_stringIcSt11char_"
                  "traitsIcESaIcEEE"),
            nullptr);

  auto init = reinterpret_cast<PFN_DbiInitFn>(dlsym(lib, "DbiInitFn"));
  auto exitFn = reinterpret_cast<PFN_DbiExit>(dlsym(lib, "DbiExit"));
  auto text = reinterpret_cast<PFN_DbiGetErrorString>(dlsym(lib, "DbiGetErrorString"));
  ASSERT_TRUE(init && exitFn && text);
  DBIEnv env;
  std::memset(&env, 0, sizeof env);
  std::strcpy(env.szLang, "000C");
  EXPECT_EQ(init(DBIINTFVER, &env), DBIERR_NONE);
  char message[DBIMAXMSGLEN + 1];
  EXPECT_EQ(text(DBIERR_TABLEREADONLY, message), DBIERR_NONE);
  EXPECT_STREQ(message, "La table est en lecture seule");
  EXPECT_EQ(exitFn(), DBIERR_NONE);
  // The library stays loaded: its engine state lives as long as the process.
}

}  // namespace
