// Staging of the medium's product folder into the offline installation's ProgramData,
// leaving out the cloud assistant when the image already has the same or a newer one.
#include "frame/utils.h"
#include "image/assist.h"
#include "image/guest.h"
#include "image/guest_info.h"

namespace tarvik {

void guest::copy_files() {
  utils::log("-->guest::copy_files");
  char drive = GuestInfo::instance().system_disk();
  Files& files = platform().files();
  std::string program_data = strformat("%c:\\ProgramData", drive);
  files.create_directory(program_data);
  files.set_attributes(program_data, attr::kHidden);
  std::string destination = assist::product_folder(drive);
  // A target without a product folder yet is staged whole: the subfolder copies need it.
  if (!files.exists(destination)) files.create_directory(destination);
  if (!stage_tree(assist::product_folder(), destination))
    utils::exit_report(-1, "copy folder fail");
}

bool guest::stage_tree(const std::string& source, const std::string& destination) {
  utils::log("-->guest::copy_files");
  const bool stage_assist = need_update_assist();
  Files& files = platform().files();
  if (source.empty() || !files.exists(source)) return false;
  std::vector<DirEntry> entries;
  if (files.list(source, "*.*", entries) != win::kSuccess) return false;
  for (const DirEntry& e : entries) {
    std::string from = source + "\\" + e.name;
    std::string to = destination + "\\" + e.name;
    if (!(e.attributes & attr::kDirectory)) {
      uint32_t attributes = 0;
      if (files.get_attributes(to, attributes) == win::kSuccess)
        files.set_attributes(to, attributes & ~attr::kReadOnly);
      if (Status s = files.copy_file(from, to, false); s != win::kSuccess) {
        utils::exit_report(static_cast<int>(s), "CopyFile %s fail", from.c_str());
        return false;
      }
      continue;
    }
    if (!e.name.empty() && e.name[0] == '.') continue;
    if (e.name == "assist" && !stage_assist) continue;
    if (!utils::instance().copy_folder(from, to, nullptr)) return false;
  }
  return true;
}

bool guest::need_update_assist() {
  utils::log("-->guest::need_update_assist");
  std::string image_config = assist::config_path(GuestInfo::instance().system_disk());
  if (!platform().files().exists(image_config)) return true;
  std::string image_version = assist::version(image_config);
  std::string medium_version = assist::version(assist::config_path());
  return compare_version(image_version, medium_version) < 0;
}

}  // namespace tarvik
