// The samples of a /metrics scrape, for tests that read what the host counts.
#pragma once

#include <map>
#include <string>
#include <vector>

struct Sample {
  std::string name;
  std::map<std::string, std::string> labels;
  double value = 0;
};

// The samples of a scrape (label values without escapes, as ours have none).
std::vector<Sample> ParseSamples(const std::string& text);

// The sum of the samples named name whose labels include labels.
double Sum(const std::vector<Sample>& samples, const std::string& name,
           const std::map<std::string, std::string>& labels = {});
