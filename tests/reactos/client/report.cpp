// The client's report lines, sent both to the debugger (the serial log) and
// to the console.
#include "report.h"
#include <windows.h>
#include <stdarg.h>
#include <stdio.h>

const char LastLine[] = "TVC: end of run";

static int failures;

static void SayLine(const char* kind, const char* format, va_list args)
{
    char line[600];
    int used = snprintf(line, sizeof line, "TVC: %s", kind);
    vsnprintf(line + used, sizeof line - used - 1, format, args);
    line[sizeof line - 2] = 0;
    lstrcatA(line, "\n");
    OutputDebugStringA(line);
    fputs(line, stdout);
    fflush(stdout);
}

void Say(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    SayLine("", format, args);
    va_end(args);
}

void Fail(const char* format, ...)
{
    failures++;
    va_list args;
    va_start(args, format);
    SayLine("FAIL ", format, args);
    va_end(args);
}

int FailureCount()
{
    return failures;
}

void SayResultAndEnd()
{
    if (failures == 0)
        Say("result ok");
    else
        Say("result FAIL (%d failed checks)", failures);
    OutputDebugStringA(LastLine);
    OutputDebugStringA("\n");
    puts(LastLine);
}
