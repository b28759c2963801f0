// Template files: one folder per language, one file per page, checked on disk
// for every page so that edits show at once.
#include "pages/PageNames.h"
#include "pages/Templates.h"

#include "diag/Diags.h"
#include "diag/TraceLog.h"
#include "pages/Pages.h"
#include "pages/Placeholders.h"
#include "platform/ProfileString.h"
#include "platform/FileSnapshots.h"
#include "platform/FileStatus.h"
#include "platform/ModulePath.h"

namespace {

using platform::kPathSeparator;
using platform::RealPath;

// A file that did not resolve counts as inside: there is nothing to read.
bool IsRealPathInside(const std::string& file, const std::string& real_root) {
  if (file.empty()) return true;
  // A root ("/", "C:\\") is the only real path that ends in a separator.
  return !real_root.empty() &&
         file.starts_with(real_root.ends_with(kPathSeparator) ? real_root : real_root + kPathSeparator);
}

// Gives text what file holds, or traces that path could not be loaded.
bool CopyLoaded(const std::string& path, const platform::FileSnapshot* file, std::string& text) {
  if (file != nullptr) {
    text = file->text;
  } else {
    text.clear();
    diag::TraceLine("%s -> Error loading.\n", path.c_str());
  }
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::LoadTextFile leaving", "ISAPI", 0);
  return file != nullptr;
}

}  // namespace

bool IsSafePageName(const std::string& page_name, const std::string& directory) {
  if (page_name.empty() || page_name == "." || page_name == ".." ||
      page_name.find_first_of(std::string("/\\\0", 3)) != std::string::npos ||
      page_name.find("..") != std::string::npos) {
    return false;
  }
  // A link inside the folder may still point elsewhere: what the file
  // resolves to must lie inside the folder too. A missing file is safe here;
  // loading it fails.
  const std::string folder = RealPath(directory);
  const std::string file = RealPath(directory + page_name);
  return folder.empty() || file.empty() || file.starts_with(folder + kPathSeparator);
}

std::string TemplateRoot(const std::string& template_directory) {
  const std::size_t language = template_directory.find(placeholder::kLanguage);
  if (language == std::string::npos) return template_directory;
  const std::size_t slash = template_directory.find_last_of(platform::kPathSeparators, language);
  return slash == std::string::npos ? std::string(".") : template_directory.substr(0, slash + 1);
}

std::string RealRoot(const std::string& template_directory) { return RealPath(TemplateRoot(template_directory)); }

bool IsInsideRealRoot(const std::string& path, const std::string& real_root) {
  return IsRealPathInside(RealPath(path), real_root);
}

bool IsInsideRoot(const std::string& path, const std::string& root) { return IsInsideRealRoot(path, RealPath(root)); }

bool LoadTextFile(const std::string& path, std::string& text) {
  const auto file = platform::ReadFileSnapshot(path, kMaxTemplateBytes);
  return CopyLoaded(path, file.get(), text);
}

std::string PathForLanguage(std::string path, const std::string& language) {
  ReplacePlaceholder(path, placeholder::kLanguage, language);
  return path;
}

void Pages::Configure(Settings settings) {
  settings_ = std::move(settings);
  realRoot_ = RealRoot(settings_.templateDirectory);
}

bool Pages::Load(const std::string& page, std::string& text, const std::string& language, int attempt) const {
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::GetLangSpecificWebPage entering", "ISAPI", 0);
  std::string path = settings_.templateDirectory + platform::ReadProfileString(settings_.iniPath, "WEBSETTINGS", page);
  bool loaded = false;
  if (ReplacePlaceholder(path, placeholder::kLanguage, language) > 0) {
    // The root resolved at start saves resolving it again at every page; a
    // root that did not exist then is resolved now. Where the file resolves
    // is kept with its bytes and checked again whenever it changes.
    const auto file = platform::ReadFileSnapshot(path, kMaxTemplateBytes);
    if (file == nullptr || IsRealPathInside(file->real_path, realRoot_.empty()
                                                                  ? RealRoot(settings_.templateDirectory)
                                                                  : realRoot_)) {
      CopyLoaded(path, file.get(), text);
    } else {
      text.clear();
      diag::TraceLine("%s -> outside the template folder, not loaded.\n", path.c_str());
    }
    loaded = !text.empty();
    if (!loaded) {
      diag::AddDiag(diag::kLevelSevr, "Could not find " + page + ".htm for " + language, ".\\RAVO",
                    __LINE__);
      if (attempt == 0) {
        diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::GetLangSpecificWebPage leaving", "ISAPI", 0);
        return Load(page, text, settings_.defaultLanguage, 1);
      }
    }
  }
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::GetLangSpecificWebPage leaving", "ISAPI", 0);
  return loaded;
}
