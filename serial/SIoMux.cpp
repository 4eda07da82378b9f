#include "serial/SIoMux.h"
#include "serial/SIoUnix.h"
#include "serial/internal/SIoUnixState.h"

#include <cstdio>
#include <poll.h>
#include <vector>

// Entries in the order they were added. During a pass, cursor and passEnd follow erasures so
// that a handler may add or remove entries safely; entries added during a pass wait for the next.
struct SIoMux::List {
    std::vector<SIoMuxEntry> entries;
    size_t cursor = 0;
    size_t passEnd = 0;

    void erase(size_t i) {
        SIoMuxEntry e = entries[i];
        entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(i));
        if (i < cursor) --cursor;
        if (i < passEnd) --passEnd;
        if (e.owned) delete e.stream;
    }
};

namespace {
bool isReady(const std::vector<pollfd>& fds, int fd) {
    if (fd < 0) return false;
    for (const pollfd& p : fds)
        if (p.fd == fd && p.revents) return true;
    return false;
}
} // namespace

SIoMux::SIoMux() : list_(new List) {}

SIoMux::~SIoMux() {
    while (!list_->entries.empty()) list_->erase(0);
    delete list_;
}

void SIoMux::add(SIoUnix* stream, bool owned) {
    list_->entries.push_back({stream, owned});
}

void SIoMux::remove(SIoUnix* stream) {
    for (size_t i = 0; i < list_->entries.size(); ++i) {
        if (list_->entries[i].stream == stream) {
            list_->erase(i);
            return;
        }
    }
}

unsigned SIoMux::size() const {
    return static_cast<unsigned>(list_->entries.size());
}

int SIoMux::poll(unsigned timeoutMs) {
    std::vector<pollfd> fds;
    for (const SIoMuxEntry& e : list_->entries) {
        if (e.stream->fd() < 0) e.stream->reinitialize();
        if (e.stream->fd() >= 0) fds.push_back({e.stream->fd(), POLLIN, 0});
    }
    int ready = ::poll(fds.data(), fds.size(), pollTimeout(timeoutMs));
    if (ready < 0) {
        perror("select");
        return -1;
    }
    if (ready == 0) return 0;
    List& l = *list_;
    l.passEnd = l.entries.size();
    for (l.cursor = 0; l.cursor < l.passEnd;) {
        size_t i = l.cursor++;
        SIoMuxEntry e = l.entries[i];
        if (!isReady(fds, e.stream->fd())) continue;
        if (e.stream->onReadReady(*this) != -1) continue;
        // The stream ended: drop what we own, close the rest to be reopened next pass.
        if (e.owned)
            remove(e.stream);
        else
            e.stream->deinitialize();
    }
    return ready;
}
