#pragma once
// Where the downloader keeps its own files. All paths are built once at
// start-up by the download controller's thread and read-only afterwards.
//
//   work folder      <data folder>/Corvane/Tidewell/Tidewell<package id>
//   settings file    <work folder>/<package id>.twconf
//   log base         <work folder>/<package id>
//   information dir  <work folder>/<task hash>TWInfo/
//
// The data folder is platform::DataFolder(): $TIDEWELL_DATA_DIR when set, else
// the XDG data folder.

#include <string>

namespace app {

struct AppPaths {
    std::string work_folder;
    std::string settings_file;
    std::string log_base;

    static AppPaths ForPackage(const std::string& data_folder, const std::string& package_id);
    // "<work folder>/<task hash>TWInfo/" (no separator between hash and
    // "TWInfo"; the trailing separator is part of the name).
    std::string InfoFolder(const std::string& task_hash) const;
};

}  // namespace app
