// What a fuzz target does when an input breaks one of its rules.
#pragma once

#include <stdio.h>
#include <stdlib.h>

// Aborts with the rule broken; libFuzzer keeps the input that did it.
[[noreturn]] inline void Fail(const char* what)
{
    fprintf(stderr, "fuzz rule broken: %s\n", what);
    abort();
}
