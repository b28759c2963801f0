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
bool IsRealPathInside(std::string_view file, std::string_view real_root) {
  if (file.empty()) return true;
  if (real_root.empty() || !file.starts_with(real_root)) return false;
  // A root ("/", "C:\\") is the only real path that ends in a separator.
  return real_root.ends_with(kPathSeparator) ||
         (file.size() > real_root.size() && file[real_root.size()] == kPathSeparator);
}

// Traces that path could not be loaded when file is null.
void NoteLoaded(const std::string& path, const platform::FileSnapshot* file) {
  if (file == nullptr) diag::TraceLine("%s -> Error loading.\n", path.c_str());
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::LoadTextFile leaving", "ISAPI", 0);
}

// Gives text what file holds, or traces that path could not be loaded.
bool CopyLoaded(const std::string& path, const platform::FileSnapshot* file, std::string& text) {
  if (file != nullptr) {
    text = file->text;
  } else {
    text.clear();
  }
  NoteLoaded(path, file);
  return file != nullptr;
}

// directory + file_name with every <WCLANGUAGE> replaced by language, made
// in one piece; false when there was none to replace.
bool LanguagePath(std::string_view directory, std::string_view file_name, std::string_view language,
                  std::string& path) {
  char room[512];
  std::string long_joined;
  std::string_view joined(room, directory.size() + file_name.size());
  if (joined.size() <= sizeof room) {
    directory.copy(room, directory.size());
    file_name.copy(room + directory.size(), file_name.size());
  } else {
    long_joined.append(directory).append(file_name);
    joined = long_joined;
  }
  const PlaceholderValue fill[] = {{placeholder::kLanguage, language}};
  path = FillPlaceholders(joined, fill);
  return joined.find(placeholder::kLanguage) != std::string_view::npos;
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

bool Pages::InsideTemplateRoot(const std::string& path, const std::string& real_path) const {
  // Without a link on its path a template is where the root's name puts it,
  // and the root resolved at start saves resolving it again at every page.
  // A link (the root a link switched to a new release, a language folder
  // that is a link) is followed as it stands now.
  if (real_path == path && !realRoot_.empty() && IsRealPathInside(real_path, realRoot_)) return true;
  return IsRealPathInside(real_path, RealRoot(settings_.templateDirectory));
}

bool Pages::Load(const std::string& page, std::string& text, const std::string& language, int attempt) const {
  bool named = false;
  const auto file = LoadTemplate(page, language, attempt, named);
  // A path without a language leaves text as it was.
  if (file != nullptr) {
    text = file->text;
  } else if (named) {
    text.clear();
  }
  return file != nullptr;
}

std::shared_ptr<const platform::FileSnapshot> Pages::LoadTemplate(const std::string& page, const std::string& language,
                                                                  int attempt) const {
  bool named = false;
  return LoadTemplate(page, language, attempt, named);
}

std::shared_ptr<const platform::FileSnapshot> Pages::LoadTemplate(const std::string& page, const std::string& language,
                                                                  int attempt, bool& named) const {
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::GetLangSpecificWebPage entering", "ISAPI", 0);
  std::string path;
  std::shared_ptr<const platform::FileSnapshot> loaded;
  named = LanguagePath(settings_.templateDirectory,
                       platform::ReadProfileString(settings_.iniPath, "WEBSETTINGS", page), language, path);
  if (named) {
    // Where the file resolves is kept with its bytes and checked again
    // whenever it changes.
    auto file = platform::ReadFileSnapshot(path, kMaxTemplateBytes);
    if (file == nullptr || InsideTemplateRoot(path, file->real_path)) {
      NoteLoaded(path, file.get());
    } else {
      file = nullptr;
      diag::TraceLine("%s -> outside the template folder, not loaded.\n", path.c_str());
    }
    if (file != nullptr && !file->text.empty()) loaded = std::move(file);
    if (loaded == nullptr) {
      diag::AddDiag(diag::kLevelSevr, "Could not find " + page + ".htm for " + language, ".\\RAVO",
                    __LINE__);
      if (attempt == 0) {
        diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::GetLangSpecificWebPage leaving", "ISAPI", 0);
        return LoadTemplate(page, settings_.defaultLanguage, 1, named);
      }
    }
  }
  diag::AddDiag(diag::kLevelFenx, "CRAVOExtension::GetLangSpecificWebPage leaving", "ISAPI", 0);
  return loaded;
}
