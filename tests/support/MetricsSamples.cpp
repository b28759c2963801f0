#include "support/MetricsSamples.h"

#include <sstream>

std::vector<Sample> ParseSamples(const std::string& text) {
  std::vector<Sample> samples;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    Sample sample;
    const auto end_of_name = line.find_first_of("{ ");
    sample.name = line.substr(0, end_of_name);
    auto rest = line.substr(end_of_name);
    if (rest[0] == '{') {
      const auto close = rest.find('}');
      std::istringstream pairs(rest.substr(1, close - 1));
      for (std::string pair; std::getline(pairs, pair, ',');) {
        const auto equals = pair.find('=');
        sample.labels[pair.substr(0, equals)] = pair.substr(equals + 2, pair.size() - equals - 3);
      }
      rest = rest.substr(close + 1);
    }
    sample.value = std::stod(rest);
    samples.push_back(std::move(sample));
  }
  return samples;
}

double Sum(const std::vector<Sample>& samples, const std::string& name,
           const std::map<std::string, std::string>& labels) {
  double sum = 0;
  for (const auto& sample : samples) {
    if (sample.name != name) continue;
    bool match = true;
    for (const auto& [key, value] : labels) match = match && sample.labels.count(key) && sample.labels.at(key) == value;
    if (match) sum += sample.value;
  }
  return sum;
}
