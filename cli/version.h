// The version line every program of the project prints for -V / --version.
#pragma once

// Prints "<program> version: <version>" and a newline on standard output and
// flushes it. The version is the project's, set in one place by the build.
void printVersion(const char* program);
