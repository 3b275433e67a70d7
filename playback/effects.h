// The five vertical sliders: three equaliser bands, reverb and volume.
#pragma once

#include "engine/bass.h"

// What a new stream starts with: the five sliders' positions (50..54), the factor the sleep
// timer's fade puts on the volume, and the book's speed.
struct EffectLevels {
    int sliders[5];
    double volumeFactor;
    double speed;
};

struct StreamEffects {
    HFX eq[3];
    HFX reverb;
};

// The levels the window shows now.
EffectLevels CurrentLevels();
// From any thread, on a stream not yet heard: attaches the equaliser bands and the reverb and
// sets them, the volume and the speed to levels, so its very first sound carries them.
StreamEffects AttachEffects(HSTREAM stream, const EffectLevels& levels);
// Applies slider 50 + index (0..4) to the current stream's effects or volume and shows
// its value as the slider's tooltip.
void ApplySlider(int index);
