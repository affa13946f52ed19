#include <gtest/gtest.h>
#include "sim/win32/machine.h"
TEST(RegistryReg, Placeholder) { EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS); }
