// The GTK 3 backend, built as a module of ours and opened with dlopen only when a display is
// wanted, so programs linking the GUI platform never load GTK on their launch path.
// Nothing here throws: GTK's C frames sit between us and every caller.
#include <gtk/gtk.h>
#include <poll.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/gui/posix/LoopBackend.h"

namespace platform::gui::detail {

namespace {

const TQueueServices* gQueue = nullptr;

// ---------------------------------------------------------------------------------------------
// The thread queue as a GLib source, so posted messages and window timers also run inside GTK's
// own nested loops (message boxes, the file chooser).

gboolean QueuePrepare(GSource*, gint* timeout) {
  if (gQueue->Pending()) {
    *timeout = 0;
    return TRUE;
  }
  *timeout = gQueue->MsUntilNextTimer();
  return FALSE;
}

struct TQueueSource {
  GSource Base;
  gpointer WakeTag, TimerTag;
};

gboolean QueueCheck(GSource* source) {
  // Drain when woken: a wake for a message that was removed meanwhile must not keep poll busy.
  auto* q = reinterpret_cast<TQueueSource*>(source);
  if (g_source_query_unix_fd(source, q->WakeTag) || g_source_query_unix_fd(source, q->TimerTag))
    gQueue->DrainFds();
  return gQueue->Pending();
}

gboolean QueueDispatch(GSource*, GSourceFunc, gpointer) {
  gQueue->DispatchOne();  // one message per pass, so input and paint get their turn
  return G_SOURCE_CONTINUE;
}

GSourceFuncs gQueueFuncs = {QueuePrepare, QueueCheck, QueueDispatch, nullptr, nullptr, nullptr};

// ---------------------------------------------------------------------------------------------
// The wait: GLib's low-level steps on the default context with the caller's descriptors added
// to the same poll, so the thread sleeps in one place and repaints keep their priority.

class TGtkLoop final : public IThreadLoop {
 public:
  uint32_t Wait(const TWaitHandle* handles, uint32_t count, uint32_t timeoutMs) override {
    GMainContext* ctx = g_main_context_default();
    if (!g_main_context_acquire(ctx)) return WAIT_FAILED;
    const gint64 deadline = timeoutMs == INFINITE ? 0 : g_get_monotonic_time() + gint64(timeoutMs) * 1000;
    uint32_t result = WAIT_TIMEOUT;
    // What each handle polls, asked once per wait as the headless wait does.
    FHandleFds.resize(count);
    for (uint32_t i = 0; i < count; ++i) {
      FHandleFds[i] = pollfd{-1, 0, 0};
      gQueue->PollSpec(&handles[i], &FHandleFds[i].fd, &FHandleFds[i].events);
    }
    for (;;) {
      gint maxPriority = 0, gTimeout = -1;
      gboolean ready = g_main_context_prepare(ctx, &maxPriority);
      gint n;
      while ((n = g_main_context_query(ctx, maxPriority, &gTimeout, FGFds.data(), gint(FGFds.size()))) >
             gint(FGFds.size()))
        FGFds.resize(size_t(n));
      FFds.resize(count + size_t(n));
      for (uint32_t i = 0; i < count; ++i) FFds[i] = FHandleFds[i];
      for (gint i = 0; i < n; ++i) FFds[count + i] = pollfd{FGFds[i].fd, short(FGFds[i].events), 0};
      int waitMs;
      if (ready) {
        waitMs = 0;
      } else {
        waitMs = gTimeout;
        if (timeoutMs != INFINITE) {
          gint64 left = deadline - g_get_monotonic_time();
          int leftMs = left <= 0 ? 0 : int((left + 999) / 1000);
          waitMs = waitMs < 0 ? leftMs : std::min(waitMs, leftMs);
        }
      }
      int r = poll(FFds.data(), FFds.size(), waitMs);
      if (r < 0 && errno != EINTR) {
        g_main_context_check(ctx, maxPriority, FGFds.data(), 0);
        result = WAIT_FAILED;
        break;
      }
      for (gint i = 0; i < n; ++i) FGFds[i].revents = gushort(r > 0 ? FFds[count + i].revents : 0);
      gboolean gready = g_main_context_check(ctx, maxPriority, FGFds.data(), n);
      if (r > 0 && count > 0) {
        FEvents.resize(count);
        FRevents.resize(count);
        for (uint32_t i = 0; i < count; ++i) {
          FEvents[i] = FFds[i].events;
          FRevents[i] = FFds[i].revents;
        }
        uint32_t h = gQueue->FirstSignalled(handles, count, FEvents.data(), FRevents.data());
        if (h != count) {
          result = h;
          break;
        }
      }
      // Ready sources stay marked, so the dispatch that follows finds them.
      if (gready || ready) {
        result = WAIT_OBJECT_0 + count;
        break;
      }
      if (timeoutMs != INFINITE && g_get_monotonic_time() >= deadline) {
        result = WAIT_TIMEOUT;
        break;
      }
    }
    g_main_context_release(ctx);
    return result;
  }

  bool DispatchToolkitOne() override { return g_main_context_iteration(nullptr, FALSE); }

 private:
  std::vector<GPollFD> FGFds = std::vector<GPollFD>(16);
  std::vector<pollfd> FFds, FHandleFds;
  std::vector<short> FEvents, FRevents;
};

// ---------------------------------------------------------------------------------------------

struct TGtkForm {
  GtkWidget* Window;
  GtkWidget* Fixed;
  IFormEvents* Events;
  bool Minimizable, Maximizable;
};

std::string CssColor(uint32_t rgb) {
  char b[16];
  g_snprintf(b, sizeof b, "#%06x", rgb & 0xFFFFFF);
  return b;
}

void ApplyCss(GtkWidget* w, const std::string& css) {
  GtkCssProvider* p = gtk_css_provider_new();
  gtk_css_provider_load_from_data(p, css.c_str(), -1, nullptr);
  gtk_style_context_add_provider(gtk_widget_get_style_context(w), GTK_STYLE_PROVIDER(p),
                                 GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(p);
}

// Character height in pixels for the platform's font height (negative: pixels; positive: points
// at 96 pixels per inch).
int FontPixels(int height) { return height < 0 ? -height : (height * 96 + 36) / 72; }

PangoAttrList* FontAttributes(const TFontSpec& f) {
  PangoAttrList* a = pango_attr_list_new();
  if (!f.Name.empty()) pango_attr_list_insert(a, pango_attr_family_new(f.Name.c_str()));
  if (f.Height != 0) pango_attr_list_insert(a, pango_attr_size_new_absolute(FontPixels(f.Height) * PANGO_SCALE));
  if (f.Bold) pango_attr_list_insert(a, pango_attr_weight_new(PANGO_WEIGHT_BOLD));
  if (f.Italic) pango_attr_list_insert(a, pango_attr_style_new(PANGO_STYLE_ITALIC));
  if (!f.DefaultColor) {
    guint16 r = guint16(((f.Rgb >> 16) & 0xFF) * 257), g = guint16(((f.Rgb >> 8) & 0xFF) * 257),
            b = guint16((f.Rgb & 0xFF) * 257);
    pango_attr_list_insert(a, pango_attr_foreground_new(r, g, b));
  }
  return a;
}

gboolean OnDelete(GtkWidget*, GdkEvent*, gpointer data) {
  static_cast<TGtkForm*>(data)->Events->NativeCloseRequest();
  return TRUE;  // the form decides; GTK must not destroy the window itself
}

gboolean OnMap(GtkWidget*, GdkEvent*, gpointer data) {
  static_cast<TGtkForm*>(data)->Events->NativeActivated();
  return FALSE;
}

void OnActiveChanged(GObject* o, GParamSpec*, gpointer data) {
  if (gtk_window_is_active(GTK_WINDOW(o))) static_cast<TGtkForm*>(data)->Events->NativeActivated();
}

void OnRealize(GtkWidget* w, gpointer data) {
  auto* f = static_cast<TGtkForm*>(data);
  // Only the close button (and moving): what a fixed dialog-like main window offers.
  int funcs = GDK_FUNC_MOVE | GDK_FUNC_CLOSE;
  if (f->Minimizable) funcs |= GDK_FUNC_MINIMIZE;
  if (f->Maximizable) funcs |= GDK_FUNC_MAXIMIZE | GDK_FUNC_RESIZE;
  gdk_window_set_functions(gtk_widget_get_window(w), GdkWMFunction(funcs));
}

// The file chooser sizes itself larger than a small screen; fit it once it is mapped.
void FitToScreen(GtkWidget* w, gpointer) {
  GdkRectangle area{0, 0, 1024, 768};
  GdkDisplay* dpy = gtk_widget_get_display(w);
  GdkMonitor* m = gdk_display_get_primary_monitor(dpy);
  if (!m) m = gdk_display_get_monitor(dpy, 0);
  if (m) gdk_monitor_get_workarea(m, &area);
  int width, height;
  gtk_window_get_size(GTK_WINDOW(w), &width, &height);
  if (width > area.width * 9 / 10 || height > area.height * 9 / 10)
    gtk_window_resize(GTK_WINDOW(w), std::min(width, area.width * 9 / 10), std::min(height, area.height * 9 / 10));
}

struct TModal {
  GtkDialog* Dialog;
  bool FileChooser;
};

int ResponseToId(int response, uint32_t flags) {
  if (response > 0) return response;  // our buttons carry the platform's identifiers
  uint32_t set = flags & 0x0F;
  // Closing the box by its frame answers Cancel where there is one, OK for a lone OK button.
  if (set == 0) return 1;
  if (set == 1 || set == 3 || set == 5) return 2;
  return set == 2 ? 3 : 7;
}

class TGtkToolkit final : public IToolkit {
 public:
  TGtkToolkit() {
    FSource = g_source_new(&gQueueFuncs, sizeof(TQueueSource));
    g_source_set_priority(FSource, G_PRIORITY_DEFAULT);
    // A handler run by this source may wait (a download started from a timer inside a message
    // box): the source must stay in the poll set meanwhile, or posts and timers would not wake it.
    g_source_set_can_recurse(FSource, TRUE);
    auto* q = reinterpret_cast<TQueueSource*>(FSource);
    q->WakeTag = g_source_add_unix_fd(FSource, gQueue->WakeFd(), G_IO_IN);
    q->TimerTag = g_source_add_unix_fd(FSource, gQueue->TimerFd(), G_IO_IN);
    g_source_attach(FSource, nullptr);
    // The default theme draws a thin trough; the bar fills its 25 pixels like the platform's.
    GtkCssProvider* p = gtk_css_provider_new();
    gtk_css_provider_load_from_data(p, "progressbar trough, progressbar progress { min-height: 23px; }", -1, nullptr);
    gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(p),
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(p);
  }

  const char* Name() const override { return "gtk"; }

  void* CreateForm(const TFormSpec& spec, IFormEvents* events) override {
    auto* f = new TGtkForm{gtk_window_new(GTK_WINDOW_TOPLEVEL), gtk_fixed_new(), events,
                           spec.Minimizable, spec.Maximizable};
    GtkWindow* w = GTK_WINDOW(f->Window);
    gtk_window_set_title(w, spec.Caption.c_str());
    gtk_window_set_resizable(w, spec.Resizable);
    if (spec.Centered) gtk_window_set_position(w, GTK_WIN_POS_CENTER);
    gtk_widget_set_size_request(f->Fixed, spec.ClientWidth, spec.ClientHeight);
    gtk_container_add(GTK_CONTAINER(f->Window), f->Fixed);
    std::string css = "* {";
    if (!spec.Font.Name.empty()) css += " font-family: \"" + spec.Font.Name + "\";";
    if (spec.Font.Height) css += " font-size: " + std::to_string(FontPixels(spec.Font.Height)) + "px;";
    css += " }";
    if (!spec.DefaultBackground) css += " window { background-color: " + CssColor(spec.BackgroundRgb) + "; }";
    ApplyCss(f->Window, css);
    g_signal_connect(f->Window, "delete-event", G_CALLBACK(OnDelete), f);
    g_signal_connect(f->Window, "map-event", G_CALLBACK(OnMap), f);
    g_signal_connect(f->Window, "notify::is-active", G_CALLBACK(OnActiveChanged), f);
    g_signal_connect(f->Window, "realize", G_CALLBACK(OnRealize), f);
    return f;
  }

  void DestroyForm(void* form) override {
    auto* f = static_cast<TGtkForm*>(form);
    g_signal_handlers_disconnect_by_data(f->Window, f);
    gtk_widget_destroy(f->Window);
    delete f;
  }

  void SetFormCaption(void* form, const std::string& caption) override {
    gtk_window_set_title(GTK_WINDOW(static_cast<TGtkForm*>(form)->Window), caption.c_str());
  }

  void ShowForm(void* form) override {
    auto* f = static_cast<TGtkForm*>(form);
    gtk_widget_show_all(f->Window);
    gtk_window_present(GTK_WINDOW(f->Window));
  }

  void HideForm(void* form) override { gtk_widget_hide(static_cast<TGtkForm*>(form)->Window); }

  void* CreateLabel(void* form, int left, int top, int width, int height, const std::string& caption,
                    const TFontSpec& font) override {
    GtkWidget* l = gtk_label_new(caption.c_str());
    gtk_label_set_xalign(GTK_LABEL(l), 0);
    gtk_label_set_yalign(GTK_LABEL(l), 0);
    gtk_label_set_ellipsize(GTK_LABEL(l), PANGO_ELLIPSIZE_END);
    PangoAttrList* a = FontAttributes(font);
    gtk_label_set_attributes(GTK_LABEL(l), a);
    pango_attr_list_unref(a);
    gtk_widget_set_size_request(l, width, height);
    gtk_fixed_put(GTK_FIXED(static_cast<TGtkForm*>(form)->Fixed), l, left, top);
    return l;
  }

  void SetLabelCaption(void* label, const std::string& caption) override {
    gtk_label_set_text(GTK_LABEL(label), caption.c_str());
  }

  void* CreateProgressBar(void* form, int left, int top, int width, int height) override {
    GtkWidget* b = gtk_progress_bar_new();
    gtk_progress_bar_set_pulse_step(GTK_PROGRESS_BAR(b), 0.01);
    gtk_widget_set_size_request(b, width, height);
    gtk_fixed_put(GTK_FIXED(static_cast<TGtkForm*>(form)->Fixed), b, left, top);
    return b;
  }

  void SetProgress(void* bar, int min, int max, int position) override {
    double f = max > min ? double(position - min) / double(max - min) : 0.0;
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(bar), std::clamp(f, 0.0, 1.0));
  }

  void PulseProgress(void* bar) override { gtk_progress_bar_pulse(GTK_PROGRESS_BAR(bar)); }

  int MessageBox(void* owner, const std::string& text, const std::string& caption, uint32_t flags) override {
    GtkWindow* parent = owner ? GTK_WINDOW(static_cast<TGtkForm*>(owner)->Window) : nullptr;
    if (parent && !gtk_widget_get_visible(GTK_WIDGET(parent))) parent = nullptr;
    uint32_t icon = flags & 0xF0;
    GtkMessageType type = icon == 0x10 ? GTK_MESSAGE_ERROR
                          : icon == 0x20 ? GTK_MESSAGE_QUESTION
                          : icon == 0x30 ? GTK_MESSAGE_WARNING
                          : icon == 0x40 ? GTK_MESSAGE_INFO : GTK_MESSAGE_OTHER;
    GtkWidget* d = gtk_message_dialog_new(parent, GtkDialogFlags(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
                                          type, GTK_BUTTONS_NONE, "%s", text.c_str());
    gtk_window_set_title(GTK_WINDOW(d), caption.c_str());
    if (!parent) gtk_window_set_position(GTK_WINDOW(d), GTK_WIN_POS_CENTER);
    static const char* kIcons[] = {nullptr, "dialog-error", "dialog-question", "dialog-warning", "dialog-information"};
    if (icon >= 0x10 && icon <= 0x40) {
      // GTK >= 3.12 shows no icon unless it is set explicitly; the image sits beside the message
      // area, and running the dialog shows neither of them by itself.
      GtkWidget* image = gtk_image_new_from_icon_name(kIcons[icon >> 4], GTK_ICON_SIZE_DIALOG);
      G_GNUC_BEGIN_IGNORE_DEPRECATIONS
      gtk_message_dialog_set_image(GTK_MESSAGE_DIALOG(d), image);
      G_GNUC_END_IGNORE_DEPRECATIONS
      gtk_widget_show(image);
      gtk_widget_show_all(gtk_message_dialog_get_message_area(GTK_MESSAGE_DIALOG(d)));
    }
    struct B { const char* label; int id; };
    static const std::vector<std::vector<B>> kSets = {
        {{"_OK", 1}}, {{"_OK", 1}, {"_Cancel", 2}}, {{"_Abort", 3}, {"_Retry", 4}, {"_Ignore", 5}},
        {{"_Yes", 6}, {"_No", 7}, {"_Cancel", 2}}, {{"_Yes", 6}, {"_No", 7}}, {{"_Retry", 4}, {"_Cancel", 2}}};
    uint32_t set = flags & 0x0F;
    const std::vector<B>& buttons = set < kSets.size() ? kSets[set] : kSets[0];
    for (const B& b : buttons) gtk_dialog_add_button(GTK_DIALOG(d), b.label, b.id);
    size_t def = (flags >> 8) & 0x0F;
    gtk_dialog_set_default_response(GTK_DIALOG(d), buttons[def < buttons.size() ? def : 0].id);
    int response = RunModal(GTK_DIALOG(d), false);
    gtk_widget_destroy(d);
    return ResponseToId(response, flags);
  }

  bool ExecuteOpenDialog(const TOpenDialogSpec& spec, std::string& fileName) override {
    GtkWindow* parent = spec.OwnerForm ? GTK_WINDOW(static_cast<TGtkForm*>(spec.OwnerForm)->Window) : nullptr;
    if (parent && !gtk_widget_get_visible(GTK_WIDGET(parent))) parent = nullptr;
    GtkWidget* d = gtk_file_chooser_dialog_new(spec.Title.empty() ? "Open" : spec.Title.c_str(), parent,
                                               GTK_FILE_CHOOSER_ACTION_OPEN, "_Cancel", GTK_RESPONSE_CANCEL,
                                               "_Open", GTK_RESPONSE_ACCEPT, nullptr);
    GtkFileChooser* fc = GTK_FILE_CHOOSER(d);
    gtk_file_chooser_set_local_only(fc, TRUE);
    gtk_file_chooser_set_select_multiple(fc, FALSE);
    if (!spec.FilterPattern.empty()) {
      GtkFileFilter* filter = gtk_file_filter_new();
      gtk_file_filter_set_name(filter, spec.FilterDescription.empty() ? spec.FilterPattern.c_str()
                                                                     : spec.FilterDescription.c_str());
      // Patterns separated by ";" as the platform's filters allow.
      gchar** parts = g_strsplit(spec.FilterPattern.c_str(), ";", -1);
      for (gchar** p = parts; *p; ++p)
        if (**p) gtk_file_filter_add_pattern(filter, *p);
      g_strfreev(parts);
      gtk_file_chooser_add_filter(fc, filter);  // the only filter, so index 1 selects it
      gtk_file_chooser_set_filter(fc, filter);
    }
    if (!spec.InitialDir.empty() && g_file_test(spec.InitialDir.c_str(), G_FILE_TEST_IS_DIR))
      gtk_file_chooser_set_current_folder(fc, spec.InitialDir.c_str());
    g_signal_connect(d, "map", G_CALLBACK(FitToScreen), nullptr);
    int response = RunModal(GTK_DIALOG(d), true);
    bool ok = false;
    // Only an accepted dialog has a choice: after Cancel it still reports the selected file.
    if (response == GTK_RESPONSE_ACCEPT) {
      if (gchar* name = gtk_file_chooser_get_filename(fc)) {
        fileName = name;
        g_free(name);
        ok = true;
      }
    }
    gtk_widget_destroy(d);
    return ok;
  }

  bool EndModal(int result) override {
    if (FModals.empty()) return false;
    TModal m = FModals.back();
    int response = result;
    if (m.FileChooser) response = result == 1 ? GTK_RESPONSE_ACCEPT : GTK_RESPONSE_CANCEL;
    gtk_dialog_response(m.Dialog, response);
    return true;
  }

  int ModalDepth() override { return int(FModals.size()); }

  std::string ModalTitle() override {
    if (FModals.empty()) return {};
    const char* t = gtk_window_get_title(GTK_WINDOW(FModals.back().Dialog));
    return t ? t : "";
  }

  IThreadLoop* Loop() override { return &FLoop; }

  void SetApplicationIcon(const uint8_t* rgba, int width, int height) override {
    // GDK_COLORSPACE_RGB with alpha, 8 bits a sample; the bytes are copied into the picture.
    GBytes* pixels = g_bytes_new(rgba, size_t(width) * size_t(height) * 4);
    GdkPixbuf* icon = gdk_pixbuf_new_from_bytes(pixels, GDK_COLORSPACE_RGB, TRUE, 8, width, height, width * 4);
    g_bytes_unref(pixels);
    if (!icon) return;
    gtk_window_set_default_icon(icon);  // holds its own reference
    g_object_unref(icon);
  }

 private:
  int RunModal(GtkDialog* d, bool fileChooser) {
    FModals.push_back(TModal{d, fileChooser});
    int response = gtk_dialog_run(d);  // a nested loop: timers and posted messages keep running
    FModals.pop_back();
    return response;
  }

  GSource* FSource;
  TGtkLoop FLoop;
  std::vector<TModal> FModals;
};

}  // namespace

}  // namespace platform::gui::detail

extern "C" __attribute__((visibility("default"))) platform::gui::detail::IToolkit* krv_gui_create_toolkit(
    const platform::gui::detail::TQueueServices* services, int abiVersion) {
  using namespace platform::gui::detail;
  if (abiVersion != kToolkitAbiVersion || !services) return nullptr;
  static TGtkToolkit* kit = nullptr;
  if (kit) return kit;
  // Without a session bus GTK's settings backend complains on every start.
  if (!std::getenv("DBUS_SESSION_BUS_ADDRESS")) setenv("GSETTINGS_BACKEND", "memory", 0);
  if (!gtk_init_check(nullptr, nullptr)) return nullptr;
  gQueue = services;
  kit = new TGtkToolkit();
  return kit;
}
