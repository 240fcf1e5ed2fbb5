// The toolkit without a display: forms keep their state, boxes go to stderr, the file dialog
// answers "cancelled". Form events still fire, in the order a real window system gives them.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/gui/Forms.h"
#include "platform/gui/Toolkit.h"

namespace platform::gui::detail {

namespace {

struct THeadlessForm {
  IFormEvents* Events;
  std::string Caption;
  bool Visible = false;
  bool EverShown = false;
};

class THeadlessToolkit final : public IToolkit {
 public:
  const char* Name() const override { return "headless"; }

  void* CreateForm(const TFormSpec& spec, IFormEvents* events) override {
    return new THeadlessForm{events, spec.Caption};
  }
  void DestroyForm(void* form) override { delete static_cast<THeadlessForm*>(form); }
  void SetFormCaption(void* form, const std::string& caption) override {
    static_cast<THeadlessForm*>(form)->Caption = caption;
  }
  void ShowForm(void* form) override {
    auto* f = static_cast<THeadlessForm*>(form);
    f->Visible = true;
    // Nobody else can take the focus here: a shown window is the active one.
    f->Events->NativeActivated();
  }
  void HideForm(void* form) override { static_cast<THeadlessForm*>(form)->Visible = false; }
  // Controls hold no native state here; a non-null token marks them as made.
  void* CreateLabel(void*, int, int, int, int, const std::string&, const TFontSpec&) override { return this; }
  void SetLabelCaption(void*, const std::string&) override {}
  void* CreateProgressBar(void*, int, int, int, int) override { return this; }
  void SetProgress(void*, int, int, int) override {}
  void PulseProgress(void*) override {}

  int MessageBox(void*, const std::string& text, const std::string& caption, uint32_t flags) override {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    std::fflush(stderr);
    return DefaultAnswer(flags);
  }

  bool ExecuteOpenDialog(const TOpenDialogSpec& spec, std::string&) override {
    std::fprintf(stderr, "%s: no display for the file dialog; cancelled\n",
                 spec.Title.empty() ? "Open" : spec.Title.c_str());
    std::fflush(stderr);
    return false;
  }

  bool EndModal(int) override { return false; }
  int ModalDepth() override { return 0; }
  std::string ModalTitle() override { return {}; }
  void SetApplicationIcon(const uint8_t*, int, int) override {}
  IThreadLoop* Loop() override { return nullptr; }

  // The button the user would press by just confirming: the default button of the set.
  static int DefaultAnswer(uint32_t flags) {
    static const std::vector<std::vector<int>> kButtons = {
        {IDOK}, {IDOK, IDCANCEL}, {IDABORT, IDRETRY, IDIGNORE}, {IDYES, IDNO, IDCANCEL},
        {IDYES, IDNO}, {IDRETRY, IDCANCEL}};
    uint32_t set = flags & 0x0F;
    const std::vector<int>& b = set < kButtons.size() ? kButtons[set] : kButtons[0];
    size_t def = (flags >> 8) & 0x0F;
    return def < b.size() ? b[def] : b[0];
  }
};

}  // namespace

// Never destroyed: forms may still be freed while static objects go away at exit.
IToolkit* HeadlessToolkit() {
  static THeadlessToolkit* kit = new THeadlessToolkit;
  return kit;
}

}  // namespace platform::gui::detail
