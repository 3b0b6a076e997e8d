// The cloud assistant's files, which lie in the folder "assist" of the product folder (the
// folder that holds the agent's own folder "tarvik"): its config.ini with the assistant's
// version, its installer and the region-id file the agent writes for it.
//
// Each path has two forms: relative to the running agent's folder
// ("<agent folder>\..\assist\<file>"), which reaches the medium's product folder or the
// guest's own, and absolute on a target drive ("%c:\ProgramData\kovenu\assist\<file>").
// A path that would not fit the buffer its users hold it in comes back empty rather than
// cut, so it names no file.
#pragma once

#include <string>

namespace tarvik {

struct assist {
  // "%c:\ProgramData\kovenu": the product folder in a guest's installation.
  static std::string product_folder(char drive);
  // The parent of the running agent's folder: the product folder it was started from.
  static std::string product_folder();

  // "<agent folder>\..\assist\config.ini" (1024-byte buffer).
  static std::string config_path();
  // "%c:\ProgramData\kovenu\assist\config.ini".
  static std::string config_path(char drive);
  // Key "version" of section "assist" of a config.ini, as a 100-byte buffer holds it;
  // empty when the file or the key is missing.
  static std::string version(const std::string& config_file);
  // Whether text is a version as the assistant's package writes it, numbers parted by
  // single dots ("2.1.0.5"), and so names one folder below "assist": no blank, no
  // backslash, no empty field (".." would be the parent folder).
  static bool is_version(const std::string& text);

  // "<agent folder>\..\assist\<version>\install.bat"; an empty version leaves two
  // backslashes before "install.bat" (1024-byte buffer).
  static std::string installer_path(const std::string& version);

  // "<agent folder>\..\assist\region-id" (1024-byte buffer).
  static std::string region_id_path();
  // "%c:\ProgramData\kovenu\assist\region-id" (256-byte buffer).
  static std::string region_id_path(char drive);
};

}  // namespace tarvik
