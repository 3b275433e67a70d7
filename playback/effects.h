// The five vertical sliders: three equaliser bands, reverb and volume.
#pragma once

// Applies slider 50 + index (0..4) to the current stream's effects or volume and shows
// its value as the slider's tooltip.
void ApplySlider(int index);
