// Declarations only; see ../README.md.
#pragma once

typedef struct objc_class* Class;
typedef struct objc_object* id;
typedef struct objc_selector* SEL;

// BOOL is signed char on x86_64 and bool on arm64. The x86_64 one is declared here,
// so that a bool written where BOOL belongs (a block parameter, say), which arm64
// would let pass and x86_64 would not, fails the check.
typedef signed char BOOL;
#define YES ((BOOL)1)
#define NO ((BOOL)0)

#define nil nullptr
