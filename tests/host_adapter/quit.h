// The adapter's stand-in for Octave's interrupt state: a test marks an
// interrupt pending (hostadapter::RequestInterrupt), and handling it throws
// hostadapter::Interrupt, as Octave throws its interrupt exception.
#ifndef DENSECORR_HOST_ADAPTER_QUIT_H_
#define DENSECORR_HOST_ADAPTER_QUIT_H_

#include <csignal>

extern "C" {
// > 0: interrupt pending; 0: none; < 0: being handled.
extern sig_atomic_t octave_interrupt_state;
extern volatile sig_atomic_t octave_signal_caught;
void octave_handle_signal(void);
}

inline void octave_quit() {
  if (octave_signal_caught) {
    octave_signal_caught = 0;
    octave_handle_signal();
  }
}

#endif  // DENSECORR_HOST_ADAPTER_QUIT_H_
