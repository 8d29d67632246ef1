// The folder mode of idxcheck's command line: idxcheck [--en] FOLDER.
#ifndef ORVANE_IDXCHECK_FOLDER_MAIN_H
#define ORVANE_IDXCHECK_FOLDER_MAIN_H

namespace idxcheck {

// When the arguments name a folder (after an optional --en), checks it as a program
// folder, prints the findings and sets `exitCode`; returns false otherwise.
bool runFolderMode(int argc, char** argv, int& exitCode);

}  // namespace idxcheck

#endif  // ORVANE_IDXCHECK_FOLDER_MAIN_H
