// The process's start-up sequence on Windows, shared by the program's entry
// point and the test programs that run the whole program.
#pragma once

// COM, the common-control classes, the main procedure with the arguments a
// GUI entry point is given, then the end of the process with its result.
[[noreturn]] void RunProgram();
