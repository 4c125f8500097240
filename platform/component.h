// Root object and component classes of the library.
//
// Every class the application creates and frees explicitly derives from TObject.
// TApdBaseComponent is the base of the library's components (the line device, the
// serial port): it has an optional owner, a name and the read-only Version property.
// Components are created in code here, never restored from a stored form, so the
// "loading" state that stops errors from being raised is only ever set by tests.
#pragma once

#include <string>

namespace telvane {

class TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;
};

class TApdBaseComponent : public TObject {
 public:
  explicit TApdBaseComponent(TApdBaseComponent* owner = nullptr) : owner_(owner) {}

  TApdBaseComponent* Owner() const { return owner_; }
  const std::string& Name() const { return name_; }
  void SetName(const std::string& name) { name_ = name; }

  // The library's version; writes are ignored, as for a stored property.
  std::string Version() const { return "v4.06"; }
  void SetVersion(const std::string& /*ignored*/) {}

  // True while the component restores stored properties; errors are then returned, not raised.
  bool Loading() const { return loading_; }
  void SetLoading(bool loading) { loading_ = loading; }

 private:
  TApdBaseComponent* owner_;
  std::string name_;
  bool loading_ = false;
};

}  // namespace telvane
