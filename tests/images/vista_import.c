// A program that imports a function Windows XP lacks: what the import check must refuse.
#define _WIN32_WINNT 0x0600
#include <windows.h>

int main(void)
{
    return GetTickCount64() == 0;
}
