#include "app/window_activation.h"

#include <QGuiApplication>
#include <QWidget>

#ifdef ZENTU_HAVE_XDG_ACTIVATION
#include <wayland-client.h>

#include <cstring>
#include <memory>
#include <string>

#include "xdg-activation-v1-client-protocol.h"

namespace {

template <typename T, void (*Destroy)(T*)>
using WaylandPtr = std::unique_ptr<T, decltype([](T* object) { Destroy(object); })>;

struct TokenRequest {
    WaylandPtr<xdg_activation_v1, xdg_activation_v1_destroy> activation;
    std::string token;
    bool done = false;
};

void Global(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
    if (std::strcmp(interface, xdg_activation_v1_interface.name) != 0) return;
    static_cast<TokenRequest*>(data)->activation.reset(
        static_cast<xdg_activation_v1*>(wl_registry_bind(registry, name, &xdg_activation_v1_interface, 1)));
}

void GlobalRemove(void*, wl_registry*, uint32_t) {}

void Done(void* data, xdg_activation_token_v1*, const char* token) {
    auto* request = static_cast<TokenRequest*>(data);
    request->token = token;
    request->done = true;
}

constexpr wl_registry_listener kRegistryListener{Global, GlobalRemove};
constexpr xdg_activation_token_v1_listener kTokenListener{Done};

// Asked on a connection of our own: a token is not tied to the client that asked for it, and
// Qt 6.4 offers no call to ask for one while the program has no focus.
std::string RequestToken() {
    WaylandPtr<wl_display, wl_display_disconnect> display(wl_display_connect(nullptr));
    if (!display) return {};
    TokenRequest request;
    WaylandPtr<wl_registry, wl_registry_destroy> registry(wl_display_get_registry(display.get()));
    wl_registry_add_listener(registry.get(), &kRegistryListener, &request);
    if (wl_display_roundtrip(display.get()) < 0 || !request.activation) return {};
    WaylandPtr<xdg_activation_token_v1, xdg_activation_token_v1_destroy> token(
        xdg_activation_v1_get_activation_token(request.activation.get()));
    xdg_activation_token_v1_add_listener(token.get(), &kTokenListener, &request);
    xdg_activation_token_v1_set_app_id(token.get(), "zentu");
    xdg_activation_token_v1_commit(token.get());
    // The answer follows the commit at once; a few round trips bound the wait.
    for (int trip = 0; trip < 3 && !request.done; ++trip)
        if (wl_display_roundtrip(display.get()) < 0) break;
    return request.token;
}

}  // namespace
#endif

void ActivateWindow(QWidget& window) {
#ifdef ZENTU_HAVE_XDG_ACTIVATION
    // Qt's wayland platform takes the token from the environment at the next activation, once.
    if (QGuiApplication::platformName().startsWith(QLatin1String("wayland")) &&
        !QGuiApplication::focusWindow() && !qEnvironmentVariableIsSet("XDG_ACTIVATION_TOKEN")) {
        if (const std::string token = RequestToken(); !token.empty())
            qputenv("XDG_ACTIVATION_TOKEN", QByteArray::fromStdString(token));
    }
#endif
    window.raise();
    window.activateWindow();
}
