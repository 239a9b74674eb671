// What every program does to keep its outputs honest: no output file lands on
// a closed standard descriptor, standard output is checked at exit, and no
// output replaces one of the run's inputs.
#pragma once

#include <string>
#include <vector>

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
// no file the program opens later takes its number and receives what is
// meant for the console. It is opened the wrong way round (standard input
// for writing, the others for reading), so that using it fails as a closed
// descriptor does and standard output stays checkable. Call first thing in
// main; false when /dev/null cannot be opened.
bool keepStandardDescriptors();

// Flushes standard output. False, with the reason in *why (empty when no
// longer known), when this flush or any write before it failed.
bool flushStandardOutput(std::string* why);

// A run's input: the option that named it and its path. An empty path is
// an option not given.
struct InputFile {
  const char* option = nullptr;
  std::string path;
};

// The input that output is (the same file by device and inode: also through
// a symlink, a hard link or another spelling of the path), with option
// nullptr when there is none. A folder input counts with every file in it;
// the path returned is then the file inside. An output that does not exist
// yet is no input.
InputFile inputAt(const std::string& output, const std::vector<InputFile>& inputs);

// The input that standard output writes into, as inputAt tells it: a
// shell's >> (or 1<>) onto an input would add the program's report to it.
InputFile inputOnStandardOutput(const std::vector<InputFile>& inputs);
