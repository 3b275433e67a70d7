#include "playback/effects.h"

#include <QSlider>
#include <cmath>

#include "app/app_state.h"
#include "playback/speed.h"
#include "playback/text_format.h"
#include "ui/control_ids.h"
#include "ui/main_window.h"

namespace {

constexpr BASS_DX8_PARAMEQ kBands[3] = {{100, 28, 0}, {3000, 28, 0}, {12000, 28, 0}};

float BandGain(int p) {
    return float(10.0 - p);
}

float ReverbMix(int p) {
    return p < 20 ? float(20.0 * std::log(1.0 - p / 20.0)) : -96.0f;
}

float Volume(int p, double factor) {
    return float((1.0 - p / 100.0) * factor);
}

int SliderPosition(int index) {
    return app.mainWindow->slider(ids::EqBand100 + index)->value();
}

} // namespace

EffectLevels CurrentLevels() {
    EffectLevels levels{};
    for (int index = 0; index < 5; ++index)
        levels.sliders[index] = SliderPosition(index);
    levels.volumeFactor = app.fadeFactor;
    levels.speed = CurrentSpeed();
    return levels;
}

StreamEffects AttachEffects(HSTREAM stream, const EffectLevels& levels) {
    StreamEffects fx{};
    for (int band = 0; band < 3; ++band)
        fx.eq[band] = BASS_ChannelSetFX(stream, BASS_FX_DX8_PARAMEQ, 0);
    fx.reverb = BASS_ChannelSetFX(stream, BASS_FX_DX8_REVERB, 0);
    for (int band = 0; band < 3; ++band) {
        BASS_DX8_PARAMEQ parameters = kBands[band];
        parameters.fGain = BandGain(levels.sliders[band]);
        BASS_FXSetParameters(fx.eq[band], &parameters);
    }
    BASS_DX8_REVERB reverb{};
    BASS_FXGetParameters(fx.reverb, &reverb);
    reverb.fReverbMix = ReverbMix(levels.sliders[3]);
    BASS_FXSetParameters(fx.reverb, &reverb);
    BASS_ChannelSetAttribute(stream, BASS_ATTRIB_VOL, Volume(levels.sliders[4], levels.volumeFactor));
    BASS_ChannelSetAttribute(stream, BASS_ATTRIB_TEMPO, float((levels.speed - 1.0) * 100.0));
    return fx;
}

void ApplySlider(int index) {
    if (index < 0 || index > 4)
        return;
    const int p = SliderPosition(index);
    const char* sign = 10 - p > 0 ? "+" : "";

    if (index < 3) {
        BASS_DX8_PARAMEQ band{};
        BASS_FXGetParameters(app.eqEffect[index], &band);
        band.fGain = BandGain(p);
        BASS_FXSetParameters(app.eqEffect[index], &band);
        app.tooltipText = FormatText("%s%d dB", sign, 10 - p);
    } else if (index == 3) {
        BASS_DX8_REVERB reverb{};
        BASS_FXGetParameters(app.reverbEffect, &reverb);
        app.settings.effectPos[3] = p;
        reverb.fReverbMix = ReverbMix(p);
        BASS_FXSetParameters(app.reverbEffect, &reverb);
        app.tooltipText = FormatText("%s%d", sign, 10 - p);
    } else {
        BASS_ChannelSetAttribute(app.currentStream, BASS_ATTRIB_VOL, Volume(p, app.fadeFactor));
        app.tooltipText = FormatText("%d%%", 100 - p);
    }
    app.mainWindow->setSliderToolTip(ids::EqBand100 + index, app.tooltipText);
}
