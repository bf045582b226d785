#pragma once

#include <nlohmann/json.hpp>
#include <yaml-cpp/yaml.h>

// YAML to order-preserving JSON: booleans, then decimal 64-bit integers, then
// doubles (with .inf/.nan), else strings; quoted scalars always stay strings.
// Throws std::runtime_error for documents nested deeper than 64 levels
// (a self-referencing anchor is one).
nlohmann::ordered_json yaml_to_json(const YAML::Node& node);
