#pragma once

class SIoUnix;

struct SIoMuxEntry {
    SIoUnix* stream;
    bool owned; // deleted with its entry or with the multiplexer
};

// Waits on several streams at once and lets each handle its input through onReadReady.
class SIoMux {
public:
    SIoMux();
    ~SIoMux();
    SIoMux(const SIoMux&) = delete;
    SIoMux& operator=(const SIoMux&) = delete;

    void add(SIoUnix* stream, bool owned);
    // Drops the first entry of this stream (deleting it when owned); unknown streams are ignored.
    void remove(SIoUnix* stream);
    // One pass: reopen closed streams, wait (0 = no limit), dispatch. Returns the number of
    // ready descriptors, 0 on time-out, -1 on error.
    int poll(unsigned timeoutMs);
    unsigned size() const;

private:
    struct List;
    List* list_;
};
