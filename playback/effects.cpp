#include "playback/effects.h"

#include <QSlider>
#include <cmath>

#include "app/app_state.h"
#include "playback/text_format.h"
#include "ui/control_ids.h"
#include "ui/main_window.h"

void ApplySlider(int index) {
    if (index < 0 || index > 4)
        return;
    const int sliderId = ids::EqBand100 + index;
    const int p = app.mainWindow->slider(sliderId)->value();
    const char* sign = 10 - p > 0 ? "+" : "";

    if (index < 3) {
        BASS_DX8_PARAMEQ band{};
        BASS_FXGetParameters(app.eqEffect[index], &band);
        band.fGain = float(10.0 - p);
        BASS_FXSetParameters(app.eqEffect[index], &band);
        app.tooltipText = FormatText("%s%d dB", sign, 10 - p);
    } else if (index == 3) {
        BASS_DX8_REVERB reverb{};
        BASS_FXGetParameters(app.reverbEffect, &reverb);
        app.settings.effectPos[3] = p;
        reverb.fReverbMix = p < 20 ? float(20.0 * std::log(1.0 - p / 20.0)) : -96.0f;
        BASS_FXSetParameters(app.reverbEffect, &reverb);
        app.tooltipText = FormatText("%s%d", sign, 10 - p);
    } else {
        BASS_ChannelSetAttribute(app.currentStream, BASS_ATTRIB_VOL, 1.0f - float(p) / 100.0f);
        app.tooltipText = FormatText("%d%%", 100 - p);
    }
    app.mainWindow->setSliderToolTip(sliderId, app.tooltipText);
}
