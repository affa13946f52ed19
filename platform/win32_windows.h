// Windows target: the real headers.
#pragma once
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
