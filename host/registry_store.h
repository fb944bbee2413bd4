#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace orv {

// The registry the registration scripts write: one folder per key below
// <root>/etc/orv-ticker/registry/, each holding a "values" file of name=value
// lines, where the name "@" is the key's default value. Key paths use '\' or
// '/' between their parts. Failures throw std::system_error with the file
// system's code.
class registry_store {
 public:
  explicit registry_store(std::filesystem::path root);

  // The root from ORV_TICKER_REGISTRY_ROOT, "/" when it is unset.
  static std::filesystem::path root_from_environment();

  bool key_exists(const std::string& key) const;
  void create_key(const std::string& key);
  // Removes the key with its values and subkeys; nothing happens when it is
  // absent.
  void remove_key(const std::string& key);

  std::optional<std::string> value(const std::string& key, const std::string& name) const;
  // Creates the key when it is missing.
  void set_value(const std::string& key, const std::string& name, const std::string& text);
  // True when the value was there.
  bool delete_value(const std::string& key, const std::string& name);

  const std::filesystem::path& root() const { return root_; }

 private:
  std::filesystem::path folder(const std::string& key) const;

  std::filesystem::path root_;
  std::filesystem::path keys_;
};

}  // namespace orv
