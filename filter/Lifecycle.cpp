#include "filter/Lifecycle.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <new>

#include "filter/IsapiAdapter.h"
#include "platform/Platform.h"

namespace qelmor {
namespace {

// Settings are chained to the ones they replaced. A request may still be
// deciding with an old object after a new one is published, and nothing
// tells when the last such request has ended without making every request
// pay for counting; registrations are rare (a start, an operator's reload),
// so every object lives until the module is unloaded, and the chain is how
// the unload finds them.
struct PublishedSettings {
    FilterSettings settings;
    const PublishedSettings* previous = nullptr;
};

std::atomic<const PublishedSettings*> current{nullptr};

// The host's date settings, read once when the module is loaded.
const LocaleSettings* hostLocale = nullptr;

bool Publish(std::unique_ptr<PublishedSettings> fresh) {
    const PublishedSettings* expected = current.load(std::memory_order_acquire);
    do {
        fresh->previous = expected;
    } while (!current.compare_exchange_weak(expected, fresh.get(), std::memory_order_acq_rel,
                                            std::memory_order_acquire));
    fresh.release();
    return true;
}

}  // namespace

bool LoadModule() {
    try {
        LocaleSettings locale;
        try {
            locale = ReadLocaleSettings(platform::ReadHostLocale());
        } catch (...) {
            // The defaults stay in place; the load does not depend on the locale.
        }
        hostLocale = new LocaleSettings(std::move(locale));
        auto defaults = std::make_unique<PublishedSettings>();
        defaults->settings.locale = *hostLocale;
        return Publish(std::move(defaults));
    } catch (...) {
        UnloadModule();
        return false;
    }
}

void UnloadModule() {
    const PublishedSettings* settings = current.exchange(nullptr, std::memory_order_acq_rel);
    while (settings != nullptr) {
        const PublishedSettings* previous = settings->previous;
        delete settings;
        settings = previous;
    }
    delete hostLocale;
    hostLocale = nullptr;
}

int32_t RegisterFilter(HTTP_FILTER_VERSION* version) {
    if (version == nullptr) return 0;
    // Without its storage the filter cannot guard anything: a host that sees
    // FALSE refuses to run with it.
    if (hostLocale == nullptr) return 0;
    try {
        auto fresh = std::make_unique<PublishedSettings>();
        fresh->settings.locale = *hostLocale;
        LoadFilterConfig(fresh->settings.config, ConfigFileName(hostLocale->LeadBytes));
        Publish(std::move(fresh));
    } catch (...) {
        // A KAVRO.ini that memory cannot hold is not a missing one: its
        // defaults guard nothing, so the filter does not register at all and
        // the server refuses to run with it. The settings in force stay.
        return 0;
    }
    version->dwFilterVersion = HTTP_FILTER_REVISION;
    std::memset(version->lpszFilterDesc, 0, sizeof version->lpszFilterDesc);
    std::memcpy(version->lpszFilterDesc, kFilterDescription, sizeof kFilterDescription - 1);
    version->dwFlags = SF_NOTIFY_ORDER_HIGH | SF_NOTIFY_URL_MAP;
    return ~int32_t(0);  // TRUE with all bits set
}

uint32_t HandleNotification(HTTP_FILTER_CONTEXT* context, uint32_t notificationType,
                            void* notification) {
    // One object from start to end, whatever a registration publishes
    // meanwhile.
    const PublishedSettings* published = current.load(std::memory_order_acquire);
    // A guarded file is never served because the decision could not be made.
    if (published == nullptr) return SF_STATUS_REQ_FINISHED;
    const FilterSettings& settings = published->settings;
    try {
        return UrlMapPolicy(context, notificationType, notification, settings.config,
                            settings.locale, ClockReading(ReadTokenClock))
            .status;
    } catch (...) {
        return SF_STATUS_REQ_FINISHED;
    }
}

}  // namespace qelmor
