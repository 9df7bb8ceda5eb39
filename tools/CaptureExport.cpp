#include "tools/CaptureExport.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <limits>
#include <ostream>
#include <sstream>

#ifdef QUELM_HAVE_LIBZIP
#include <zip.h>
#endif

namespace capture {

namespace {

// Walks the run's level changes in time order over all channels: `visit`
// gets each sample at which at least one channel changes.
template <typename Visit>
void ForEachChange(const Trace& trace, Visit visit) {
  std::vector<size_t> next(trace.channels.size(), 0);
  for (;;) {
    std::uint64_t at = std::numeric_limits<std::uint64_t>::max();
    for (size_t c = 0; c < trace.channels.size(); ++c)
      if (next[c] < trace.channels[c].edges.size()) at = std::min(at, trace.channels[c].edges[next[c]]);
    if (at == std::numeric_limits<std::uint64_t>::max()) return;
    std::vector<bool> changed(trace.channels.size(), false);
    for (size_t c = 0; c < trace.channels.size(); ++c)
      if (next[c] < trace.channels[c].edges.size() && trace.channels[c].edges[next[c]] == at) {
        changed[c] = true;
        ++next[c];
      }
    visit(at, changed);
  }
}

std::string Trim(const std::string& s) {
  const size_t a = s.find_first_not_of(" \t\r\n");
  if (a == std::string::npos) return "";
  return s.substr(a, s.find_last_not_of(" \t\r\n") - a + 1);
}

// A file's last change may come after its last timestamp or row: the run covers it.
void CoverEveryEdge(Trace& trace) {
  for (const Channel& ch : trace.channels)
    if (!ch.edges.empty()) trace.samples = std::max(trace.samples, ch.edges.back() + 1);
}

// Builds a channel from levels read in time order.
struct LevelReader {
  bool level = false;
  bool seen = false;

  // Records a change at sample `at` unless the level is already `v`.
  void Set(Channel& ch, std::uint64_t at, bool v) {
    if (!seen || at == 0) {
      ch.initial = v;  // a wire's first value counts from sample 0
      seen = true;
    } else if (v != level) {
      // Two values at one sample: the later one counts.
      if (!ch.edges.empty() && ch.edges.back() == at) ch.edges.pop_back();
      else ch.edges.push_back(at);
    }
    level = v;
  }
};

}  // namespace

bool FormatFromName(const std::string& name, Format& format) {
  static const std::pair<const char*, Format> kNames[] = {
      {"raw", Format::Raw}, {"csv", Format::Csv}, {"vcd", Format::Vcd}, {"sr", Format::Sr}};
  for (const auto& [n, f] : kNames)
    if (name == n) {
      format = f;
      return true;
    }
  return false;
}

bool FormatFromPath(const std::string& path, Format& format) {
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return false;
  std::string ext = path.substr(dot + 1);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  if (ext == "bin") ext = "raw";
  return FormatFromName(ext, format);
}

const char* FormatName(Format format) {
  switch (format) {
    case Format::Raw: return "raw";
    case Format::Csv: return "csv";
    case Format::Vcd: return "vcd";
    case Format::Sr: return "sr";
  }
  return "?";
}

void WriteCsv(const Trace& trace, std::ostream& out) {
  std::vector<bool> level(trace.channels.size());
  out << "sample,time_s";
  for (size_t c = 0; c < trace.channels.size(); ++c) {
    out << ',' << trace.channels[c].name;
    level[c] = trace.channels[c].initial;
  }
  out << '\n';
  const auto row = [&](std::uint64_t sample) {
    char time[48];
    std::snprintf(time, sizeof time, "%.9f", trace.Seconds(sample));
    out << sample << ',' << time;
    for (const bool v : level) out << ',' << (v ? '1' : '0');
    out << '\n';
  };
  row(0);
  ForEachChange(trace, [&](std::uint64_t at, const std::vector<bool>& changed) {
    for (size_t c = 0; c < changed.size(); ++c)
      if (changed[c]) level[c] = !level[c];
    row(at);
  });
  if (trace.samples > 0) row(trace.samples);
}

VcdTimescale ChooseTimescale(double sampleRate) {
  constexpr double kMaxUnitsPerSample = 1e18;
  static const char* const kUnits[] = {"s", "ms", "us", "ns", "ps", "fs"};
  const double period = sampleRate > 0 ? 1.0 / sampleRate : 1.0;
  double unitSeconds = 100;  // 100 s, 10 s, 1 s, 100 ms, ...
  for (int u = 0; u < 6; ++u) {
    for (int scale = 100; scale >= 1; scale /= 10) {
      const double units = period / (unitSeconds / 100 * scale);
      const double whole = std::round(units);
      // The library reports whole samples per second, so the period may be off by 1/rate of itself.
      const double off = std::fabs(units - whole);
      // A count beyond 10^18 would not fit the file's 64-bit times (a rate read from a damaged file).
      if (whole >= 1 && whole <= kMaxUnitsPerSample && off < 0.05 && off <= units * 2 / std::max(sampleRate, 1.0))
        return {std::to_string(scale) + " " + kUnits[u], static_cast<std::uint64_t>(whole)};
    }
    unitSeconds /= 1000;
  }
  // Slower than a sample in 100 s: rates this low do not occur; keep the unit and cap the count.
  return {"1 fs", static_cast<std::uint64_t>(std::clamp(std::round(period * 1e15), 1.0, kMaxUnitsPerSample))};
}

void WriteVcd(const Trace& trace, std::ostream& out) {
  const VcdTimescale ts = ChooseTimescale(trace.sampleRate);
  out << "$version quelm-capture $end\n";
  out << "$comment sample rate " << static_cast<std::uint64_t>(std::llround(trace.sampleRate))
      << " Hz; one sample every " << ts.unitsPerSample << " units $end\n";
  out << "$timescale " << ts.unit << " $end\n$scope module quelm $end\n";
  for (size_t c = 0; c < trace.channels.size(); ++c) {
    // A reference is one word: no blanks, and never empty or the keyword that ends the line.
    std::string name = trace.channels[c].name;
    for (char& ch : name)
      if (std::isspace(static_cast<unsigned char>(ch)) || ch == '\0') ch = '_';
    if (name.empty() || name[0] == '$') name = "D" + std::to_string(c) + name;
    out << "$var wire 1 " << static_cast<char>('!' + c) << ' ' << name << " $end\n";
  }
  out << "$upscope $end\n$enddefinitions $end\n#0\n";
  std::vector<bool> level(trace.channels.size());
  for (size_t c = 0; c < trace.channels.size(); ++c) {
    level[c] = trace.channels[c].initial;
    out << (level[c] ? '1' : '0') << static_cast<char>('!' + c) << '\n';
  }
  ForEachChange(trace, [&](std::uint64_t at, const std::vector<bool>& changed) {
    out << '#' << at * ts.unitsPerSample << '\n';
    for (size_t c = 0; c < changed.size(); ++c)
      if (changed[c]) {
        level[c] = !level[c];
        out << (level[c] ? '1' : '0') << static_cast<char>('!' + c) << '\n';
      }
  });
  out << '#' << trace.samples * ts.unitsPerSample << '\n';
}

namespace {

bool ReadVcdText(std::istream& in, Trace& trace, std::string& error) {
  trace = Trace{};
  std::string token;
  double unitSeconds = 0;
  std::uint64_t unitsPerSample = 1;
  std::vector<std::string> ids;  // wire identifier per channel
  std::uint64_t now = 0, last = 0;
  std::vector<LevelReader> readers;
  bool definitions = true;
  const auto section = [&](std::vector<std::string>& words) {
    words.clear();
    while (in >> token && token != "$end") words.push_back(token);
  };
  std::vector<std::string> words;
  while (in >> token) {
    if (token[0] == '$') {
      const std::string keyword = token;
      section(words);
      if (keyword == "$timescale") {
        std::string text;
        for (const auto& w : words) text += w;
        const size_t digits = text.find_first_not_of("0123456789");
        static const std::pair<const char*, double> kUnits[] = {{"s", 1},      {"ms", 1e-3}, {"us", 1e-6},
                                                                 {"ns", 1e-9}, {"ps", 1e-12}, {"fs", 1e-15}};
        for (const auto& [name, seconds] : kUnits)
          if (digits != std::string::npos && text.substr(digits) == name &&
              (text.substr(0, digits) == "1" || text.substr(0, digits) == "10" || text.substr(0, digits) == "100"))
            unitSeconds = std::stod(text.substr(0, digits)) * seconds;
        if (unitSeconds <= 0) {
          error = "unreadable $timescale: " + text;
          return false;
        }
      } else if (keyword == "$comment") {
        for (size_t i = 0; i + 2 < words.size(); ++i)
          if (words[i] == "every" && words[i + 2] == "units") unitsPerSample = std::max<std::uint64_t>(1, std::stoull(words[i + 1]));
      } else if (keyword == "$var" && definitions && words.size() >= 4 && words[1] == "1") {
        ids.push_back(words[2]);
        trace.channels.push_back(Channel{words[3], false, {}});
      } else if (keyword == "$enddefinitions") {
        definitions = false;
        readers.assign(ids.size(), LevelReader{});
      }
      continue;
    }
    if (definitions) {
      error = "text before $enddefinitions: " + token;
      return false;
    }
    if (token[0] == '#') {
      std::uint64_t t = 0;
      const char* end = token.data() + token.size();
      const auto [at, ec] = std::from_chars(token.data() + 1, end, t);
      if (ec != std::errc() || at != end || token.size() == 1) {
        error = "not a time: " + token;
        return false;
      }
      if (t < now) {
        error = "time goes backwards at " + token;
        return false;
      }
      now = last = t;
      continue;
    }
    if (token[0] == 'b' || token[0] == 'r') {  // a vector or real value: not a wire of ours
      in >> token;
      continue;
    }
    const char v = token[0];
    const std::string id = token.substr(1);
    const auto it = std::find(ids.begin(), ids.end(), id);
    if (it == ids.end() || !std::strchr("01xzXZ", v)) continue;
    const size_t c = static_cast<size_t>(it - ids.begin());
    readers[c].Set(trace.channels[c], (now + unitsPerSample / 2) / unitsPerSample, v == '1');
  }
  if (ids.empty() || unitSeconds <= 0) {
    error = ids.empty() ? "no 1-bit wires in the file" : "no $timescale in the file";
    return false;
  }
  trace.sampleRate = 1.0 / (unitSeconds * unitsPerSample);
  trace.samples = last / unitsPerSample;
  CoverEveryEdge(trace);
  return true;
}

}  // namespace

bool ReadVcd(std::istream& in, Trace& trace, std::string& error) {
  try {
    return ReadVcdText(in, trace, error);
  } catch (const std::exception&) {  // a number that is none, or out of range
    error = "unreadable number in the file";
    return false;
  }
}

bool ReadCsv(std::istream& in, Trace& trace, std::string& error) {
  trace = Trace{};
  std::string line;
  if (!std::getline(in, line) || Trim(line).rfind("sample,time_s", 0) != 0) {
    error = "not a capture CSV: the first line must begin with sample,time_s";
    return false;
  }
  std::stringstream header(Trim(line));
  std::string name;
  std::getline(header, name, ',');
  std::getline(header, name, ',');
  while (std::getline(header, name, ',')) trace.channels.push_back(Channel{name, false, {}});
  if (trace.channels.empty()) {
    error = "no channel columns after sample,time_s";
    return false;
  }
  std::vector<LevelReader> readers(trace.channels.size());
  std::uint64_t sample = 0;
  double seconds = 0;
  for (int lineNo = 2; std::getline(in, line); ++lineNo) {
    if (Trim(line).empty()) continue;
    std::stringstream row(line);
    std::string field;
    std::vector<std::string> fields;
    while (std::getline(row, field, ',')) fields.push_back(Trim(field));
    if (fields.size() != trace.channels.size() + 2) {
      error = "line " + std::to_string(lineNo) + ": " + std::to_string(fields.size()) + " fields, not " +
              std::to_string(trace.channels.size() + 2);
      return false;
    }
    const std::uint64_t previous = sample;
    const char* end = fields[0].data() + fields[0].size();
    const auto parsed = std::from_chars(fields[0].data(), end, sample);
    char* timeEnd = nullptr;
    seconds = std::strtod(fields[1].c_str(), &timeEnd);
    if (parsed.ec != std::errc() || parsed.ptr != end || fields[0].empty() || fields[1].empty() || *timeEnd != '\0') {
      error = "line " + std::to_string(lineNo) + ": not a number";
      return false;
    }
    if (sample < previous) {
      error = "line " + std::to_string(lineNo) + ": the sample numbers go backwards";
      return false;
    }
    for (size_t c = 0; c < trace.channels.size(); ++c) {
      if (fields[c + 2] != "0" && fields[c + 2] != "1") {
        error = "line " + std::to_string(lineNo) + ": a level is 0 or 1, not \"" + fields[c + 2] + "\"";
        return false;
      }
      readers[c].Set(trace.channels[c], sample, fields[c + 2] == "1");
    }
  }
  trace.samples = sample;
  trace.sampleRate = seconds > 0 ? sample / seconds : 0;
  if (trace.sampleRate <= 0) {
    error = "the CSV has no row after sample 0, so its sample rate is unknown";
    return false;
  }
  CoverEveryEdge(trace);
  return true;
}

#ifdef QUELM_HAVE_LIBZIP

namespace {

constexpr std::uint64_t kChunkSamples = 4u << 20;
// The samples one byte each in memory, at most this many.
constexpr std::uint64_t kMostSrSamples = std::uint64_t{1} << 31;

bool AddFile(zip_t* zip, const std::string& name, const void* data, size_t size, std::string& error) {
  void* copy = std::malloc(size ? size : 1);
  if (!copy) {
    error = "out of memory for " + name;
    return false;
  }
  std::memcpy(copy, data, size);
  zip_source_t* source = zip_source_buffer(zip, copy, size, 1);  // libzip frees the copy
  if (!source) {
    std::free(copy);
    error = zip_strerror(zip);
    return false;
  }
  if (zip_file_add(zip, name.c_str(), source, ZIP_FL_OVERWRITE | ZIP_FL_ENC_UTF_8) < 0) {
    zip_source_free(source);
    error = zip_strerror(zip);
    return false;
  }
  return true;
}

bool ReadFile(zip_t* zip, const std::string& name, std::string& data, std::string& error) {
  zip_stat_t st;
  zip_file_t* f = nullptr;
  if (zip_stat(zip, name.c_str(), 0, &st) != 0 || !(st.valid & ZIP_STAT_SIZE) || !(f = zip_fopen(zip, name.c_str(), 0))) {
    error = "no " + name + " in the session file";
    return false;
  }
  data.resize(st.size);
  const zip_int64_t got = zip_fread(f, data.data(), st.size);
  zip_fclose(f);
  if (got != static_cast<zip_int64_t>(st.size)) {
    error = "cannot read " + name + " from the session file";
    return false;
  }
  return true;
}

}  // namespace

bool SrSupported() { return true; }

bool WriteSr(const Trace& trace, const std::string& path, std::string& error) {
  if (trace.channels.empty() || trace.channels.size() > 8) {
    error = "the sigrok format here takes 1 to 8 channels";
    return false;
  }
  if (trace.samples > kMostSrSamples) {
    error = "the run has " + std::to_string(trace.samples) +
            " samples, more than this writer holds in memory; export it as vcd or csv";
    return false;
  }
  int code = 0;
  zip_t* zip = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
  if (!zip) {
    zip_error_t e;
    zip_error_init_with_code(&e, code);
    error = "cannot create " + path + ": " + zip_error_strerror(&e);
    zip_error_fini(&e);
    return false;
  }
  std::ostringstream meta;
  meta << "[global]\nsigrok version=0.5.2\n\n[device 1]\ncapturefile=logic-1\ntotal probes="
       << trace.channels.size() << "\nsamplerate=" << static_cast<std::uint64_t>(std::llround(trace.sampleRate))
       << " Hz\ntotal analog=0\n";
  for (size_t c = 0; c < trace.channels.size(); ++c) meta << "probe" << c + 1 << '=' << trace.channels[c].name << '\n';
  meta << "unitsize=1\n";
  bool ok = AddFile(zip, "version", "2", 1, error) && AddFile(zip, "metadata", meta.str().data(), meta.str().size(), error);

  std::uint8_t current = 0;
  for (size_t c = 0; c < trace.channels.size(); ++c) current |= trace.channels[c].initial << c;
  std::vector<size_t> next(trace.channels.size(), 0);
  std::vector<std::uint8_t> chunk;
  for (std::uint64_t first = 0, n = 1; ok && first < trace.samples; first += kChunkSamples, ++n) {
    const std::uint64_t end = std::min(trace.samples, first + kChunkSamples);
    chunk.assign(end - first, 0);
    for (std::uint64_t i = first; i < end; ++i) {
      for (size_t c = 0; c < trace.channels.size(); ++c) {
        const auto& edges = trace.channels[c].edges;
        if (next[c] < edges.size() && edges[next[c]] == i) {
          current ^= 1u << c;
          ++next[c];
        }
      }
      chunk[i - first] = current;
    }
    ok = AddFile(zip, "logic-1-" + std::to_string(n), chunk.data(), chunk.size(), error);
  }
  if (!ok) {
    zip_discard(zip);
    return false;
  }
  if (zip_close(zip) != 0) {
    error = "cannot write " + path + ": " + zip_strerror(zip);
    zip_discard(zip);
    return false;
  }
  return true;
}

bool ReadSr(const std::string& path, Trace& trace, std::string& error) {
  trace = Trace{};
  int code = 0;
  zip_t* zip = zip_open(path.c_str(), ZIP_RDONLY, &code);
  if (!zip) {
    error = "cannot open " + path + " as a sigrok session file";
    return false;
  }
  std::string meta;
  bool ok = ReadFile(zip, "metadata", meta, error);
  std::string capturefile = "logic-1";
  size_t unitsize = 1, probes = 0;
  std::vector<std::string> names(64);
  std::istringstream lines(meta);
  for (std::string line; ok && std::getline(lines, line);) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = Trim(line.substr(0, eq)), value = Trim(line.substr(eq + 1));
    try {
      if (key == "capturefile") capturefile = value;
      else if (key == "unitsize") unitsize = std::stoul(value);
      else if (key == "total probes") probes = std::stoul(value);
      else if (key == "samplerate") {
        size_t used = 0;
        double rate = std::stod(value, &used);
        const std::string unit = Trim(value.substr(used));
        if (!unit.empty() && (unit[0] == 'k' || unit[0] == 'K')) rate *= 1e3;
        else if (!unit.empty() && unit[0] == 'M') rate *= 1e6;
        else if (!unit.empty() && unit[0] == 'G') rate *= 1e9;
        trace.sampleRate = rate;
      } else if (key.rfind("probe", 0) == 0 && std::stoul(key.substr(5)) - 1 < names.size()) {
        names[std::stoul(key.substr(5)) - 1] = value;
      }
    } catch (const std::exception&) {
      error = "unreadable metadata line: " + line;
      ok = false;
    }
  }
  if (ok && (probes == 0 || probes > 8 * unitsize || unitsize == 0 || unitsize > 8 || trace.sampleRate <= 0)) {
    error = "the session file's metadata give no logic channels or no sample rate";
    ok = false;
  }
  std::vector<LevelReader> readers(probes);
  for (size_t c = 0; ok && c < probes; ++c)
    trace.channels.push_back(Channel{names[c].empty() ? "D" + std::to_string(c) : names[c], false, {}});
  std::uint64_t sample = 0;
  std::string data;
  for (int n = 1; ok; ++n) {
    const std::string name = capturefile + "-" + std::to_string(n);
    if (zip_name_locate(zip, name.c_str(), 0) < 0) break;
    ok = ReadFile(zip, name, data, error);
    for (size_t at = 0; ok && at + unitsize <= data.size(); at += unitsize, ++sample)
      for (size_t c = 0; c < probes; ++c)
        readers[c].Set(trace.channels[c], sample, (static_cast<unsigned char>(data[at + c / 8]) >> (c % 8)) & 1);
  }
  zip_discard(zip);
  trace.samples = sample;
  return ok;
}

#else

bool SrSupported() { return false; }

bool WriteSr(const Trace&, const std::string&, std::string& error) {
  error = "this build cannot write sigrok session files: install libzip-dev and build again, or use --format vcd";
  return false;
}

bool ReadSr(const std::string&, Trace&, std::string& error) {
  error = "this build cannot read sigrok session files: install libzip-dev and build again";
  return false;
}

#endif

}  // namespace capture
