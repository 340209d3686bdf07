#include "description.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "rtp/format.h"

namespace rtptool {

namespace {

std::string trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

std::vector<std::string> words(const std::string& value) {
  std::string spaced = value;
  std::replace(spaced.begin(), spaced.end(), ',', ' ');
  std::istringstream in(spaced);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

bool contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

// A name becomes a file name and a folder name: keep it plain.
bool plainName(const std::string& name) {
  if (name.empty() || name.size() > 64 || name[0] == '.') return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.';
  });
}

struct Section {
  std::string kind, name;
  int line = 0;
  std::map<std::string, std::pair<std::string, int>> values;  // key -> value, line
};

// One description file being read: where its paths are relative to, and how
// a fault names its place.
class Reader {
 public:
  explicit Reader(const std::string& path)
      : path_(path), base_(std::filesystem::absolute(path).parent_path()) {}

  DescriptionError fail(int line, const std::string& what) const {
    return DescriptionError(path_ + (line ? ":" + std::to_string(line) : "") + ": " + what);
  }
  std::vector<Section> lex(std::istream& in) const;
  std::string get(const Section& s, const std::string& key, bool required) const;
  std::string resolved(const std::string& p) const {
    return p.empty() ? p : (base_ / p).lexically_normal().string();
  }
  void readRelease(const Section& s, ReleaseDescription& d) const;
  void checkPatch(const Section& s, const ReleasePatch& p, const ReleaseDescription& d) const;

 private:
  std::string path_;
  std::filesystem::path base_;
};

// The INI syntax and which keys each kind of section may hold.
std::vector<Section> Reader::lex(std::istream& in) const {
  static const std::map<std::string, std::set<std::string>> allowed = {
      {"release", {"key", "trust", "output", "product", "from", "to"}},
      {"installation", {"old", "new"}},
      {"patch", {"old", "new", "fits", "refuses"}}};
  std::vector<Section> sections;
  int number = 0;
  for (std::string raw; std::getline(in, raw);) {
    ++number;
    const std::string line = trim(raw);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') {
      if (line.back() != ']') throw fail(number, "a section header ends with ']'");
      const std::vector<std::string> head = words(line.substr(1, line.size() - 2));
      Section s;
      s.line = number;
      if (head.size() == 1 && head[0] == "release") {
        s.kind = "release";
      } else if (head.size() == 2 && (head[0] == "patch" || head[0] == "installation")) {
        s.kind = head[0];
        s.name = head[1];
        if (!plainName(s.name))
          throw fail(number, "'" + s.name + "' is no plain name (letters, digits, - _ .)");
      } else {
        throw fail(number, "unknown section '" + line +
                               "': [release], [installation NAME] or [patch NAME]");
      }
      for (const Section& other : sections)
        if (other.kind == s.kind && other.name == s.name)
          throw fail(number, "section " + line + " given twice");
      sections.push_back(s);
      continue;
    }
    const auto eq = line.find('=');
    if (eq == std::string::npos) throw fail(number, "expected 'key = value' or '[section]'");
    if (sections.empty()) throw fail(number, "a value before the first section");
    const std::string key = trim(line.substr(0, eq)), value = trim(line.substr(eq + 1));
    Section& s = sections.back();
    if (!allowed.at(s.kind).count(key))
      throw fail(number, "unknown key '" + key + "' in a " + s.kind + " section");
    if (!s.values.emplace(key, std::make_pair(value, number)).second)
      throw fail(number, "'" + key + "' given twice");
  }
  return sections;
}

std::string Reader::get(const Section& s, const std::string& key, bool required) const {
  const auto found = s.values.find(key);
  if (found == s.values.end() || found->second.first.empty()) {
    if (required)
      throw fail(s.line,
                 (s.name.empty() ? s.kind : s.kind + " " + s.name) + " needs '" + key + " ='");
    return "";
  }
  return found->second.first;
}

void Reader::readRelease(const Section& s, ReleaseDescription& d) const {
  // A key may be a provider URI rather than a file: only a plain path is resolved.
  const std::string key = get(s, "key", false);
  d.key = key.find(':') != std::string::npos && key.find('/') != 0 ? key : resolved(key);
  d.trust = resolved(get(s, "trust", false));
  d.output = resolved(get(s, "output", true));
  d.product = get(s, "product", true);
  d.from = get(s, "from", true);
  d.to = get(s, "to", true);
  for (const std::string* text : {&d.product, &d.from, &d.to}) {
    const std::string why = rtp::format::whyNotText(*text);
    if (!why.empty()) throw fail(s.line, "'" + *text + "' " + why);
  }
}

// A patch against the installations, and against the patches before it.
void Reader::checkPatch(const Section& s, const ReleasePatch& p,
                        const ReleaseDescription& d) const {
  for (const auto* list : {&p.fits, &p.refuses})
    for (const std::string& name : *list) {
      if (std::none_of(d.installations.begin(), d.installations.end(),
                       [&](const Installation& i) { return i.name == name; }))
        throw fail(s.line, "patch " + p.name + " names no installation '" + name + "'");
      if (list == &p.refuses && contains(p.fits, name))
        throw fail(s.line, "patch " + p.name + " both fits and refuses " + name);
    }
  for (const Installation& i : d.installations) {
    if (p.edition() && !contains(p.fits, i.name) && !contains(p.refuses, i.name))
      throw fail(s.line,
                 "edition patch " + p.name + " says neither fits nor refuses for " + i.name);
    if (!p.edition() && !contains(p.fits, i.name))
      throw fail(s.line, "shared patch " + p.name + " must fit every installation, not only " +
                             get(s, "fits", true) + " (an edition patch names what it refuses)");
  }
  const bool sharedSeen = std::any_of(d.patches.begin(), d.patches.end(),
                                      [](const ReleasePatch& q) { return !q.edition(); });
  if (p.edition() && sharedSeen)
    throw fail(s.line, "edition patch " + p.name +
                           " after a shared patch: the updater tries edition patches first");
}

}  // namespace

ReleaseDescription readDescription(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw DescriptionError(path + ": cannot be read");
  const Reader r(path);
  const std::vector<Section> sections = r.lex(in);

  ReleaseDescription d;
  bool haveRelease = false;
  for (const Section& s : sections) {
    if (s.kind == "release") {
      haveRelease = true;
      r.readRelease(s, d);
    } else if (s.kind == "installation") {
      d.installations.push_back(
          {s.name, r.resolved(r.get(s, "old", true)), r.resolved(r.get(s, "new", true))});
    }
  }
  if (!haveRelease) throw r.fail(0, "no [release] section");
  if (d.installations.empty()) throw r.fail(0, "no [installation NAME] section");

  for (const Section& s : sections) {
    if (s.kind != "patch") continue;
    ReleasePatch p{s.name, r.resolved(r.get(s, "old", true)), r.resolved(r.get(s, "new", true)),
                   words(r.get(s, "fits", true)), words(r.get(s, "refuses", false))};
    r.checkPatch(s, p, d);
    d.patches.push_back(std::move(p));
  }
  if (d.patches.empty()) throw r.fail(0, "no [patch NAME] section");
  return d;
}

}  // namespace rtptool
