// The USB side of the connect step, for front ends that look for a reader
// outside a run (readerctl --wait): the same search, without the log.
#pragma once

// Tries the readers of the known reader list in list order, as far as the
// reader choice (transport/reader_choice.h) lets it look; the first that
// opens wins, and with bProbe only one that answers a ping.
bool OpenFirstKnownReader(bool bProbe);
