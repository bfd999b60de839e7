// Everything of the DSD test-signal library.
#pragma once

#include "dsdsignal/measure.h"
#include "dsdsignal/modulator.h"
#include "dsdsignal/tone.h"
#include "dsdsignal/wav_stream.h"
#include "dsdsignal/writers.h"
