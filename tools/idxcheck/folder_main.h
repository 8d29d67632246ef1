// The folder modes of idxcheck's command line:
//   idxcheck [--en] FOLDER                                   checks a program folder
//   idxcheck [--en] --repair [--dry-run] [--definitions FILE] FOLDER
//   idxcheck [--en] --save-definitions FOLDER FILE
#ifndef ORVANE_IDXCHECK_FOLDER_MAIN_H
#define ORVANE_IDXCHECK_FOLDER_MAIN_H

namespace idxcheck {

// When the arguments call for a folder mode, runs it, prints its report and sets
// `exitCode`; returns false otherwise (the one-table mode).
bool runFolderMode(int argc, char** argv, int& exitCode);

}  // namespace idxcheck

#endif  // ORVANE_IDXCHECK_FOLDER_MAIN_H
