#include <windows.h>

#include <cstdio>

#include "app/exe_dir.hpp"
#include "app/run.hpp"

// Arguments and environment are accepted and ignored. Standard output keeps
// its default text mode: no frame holds a line feed for it to translate.
int wmain(int /*argc*/, wchar_t* /*argv*/[], wchar_t* /*envp*/[]) {
    // No dialog for the whole run, the vendor's call and the unload included:
    // a failed load, an empty drive or a crash in the library must come back
    // as an error or end the process, never wait in a message box for a
    // click while our parent waits for us.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    // The current directory belongs to whoever started us: a DLL planted there
    // must never be loaded for the reader library. A DLL directory takes its
    // place in the search, and ours is our own folder, searched first anyway,
    // rather than "": Wine reads an empty one as none. The rest of the order
    // stays, PATH included: vendors' helper DLLs lie beside their library or
    // on PATH. Should our folder be refused (a path too long, say), "" still
    // takes the current directory out on Windows itself.
    if (SetDllDirectoryW(vellicor::exe_dir().c_str()) == FALSE) SetDllDirectoryW(L"");
    return vellicor::run(stdout);
}
