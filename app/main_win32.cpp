#include <cstdio>

#include "app/run.hpp"

// Arguments and environment are accepted and ignored. Standard output keeps
// its default text mode: no frame holds a line feed for it to translate.
int wmain(int /*argc*/, wchar_t* /*argv*/[], wchar_t* /*envp*/[]) { return vellicor::run(stdout); }
