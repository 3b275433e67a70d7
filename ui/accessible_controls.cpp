#include "ui/accessible_controls.h"

#include <QAccessibleValueInterface>
#include <QAccessibleWidget>

#include "ui/controls.h"

namespace {

class SliderAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit SliderAccessible(TickSlider* slider) : QAccessibleWidget(slider, QAccessible::Slider) {}

    void* interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QString text(QAccessible::Text kind) const override
    {
        return kind == QAccessible::Value ? slider()->listenerText() : QAccessibleWidget::text(kind);
    }

    QVariant currentValue() const override { return slider()->listenerValue(slider()->value()); }
    void setCurrentValue(const QVariant& value) override { slider()->setListenerValue(value.toInt()); }
    QVariant minimumValue() const override { return qMin(endValue(true), endValue(false)); }
    QVariant maximumValue() const override { return qMax(endValue(true), endValue(false)); }
    QVariant minimumStepSize() const override { return slider()->singleStep(); }

private:
    TickSlider* slider() const { return static_cast<TickSlider*>(widget()); }
    int endValue(bool low) const
    {
        return slider()->listenerValue(low ? slider()->minimum() : slider()->maximum());
    }
};

// A level meter is named and has its role, but no value: the bridge sends value events only
// for objects that have one.
class MeterAccessible : public QAccessibleWidget {
public:
    explicit MeterAccessible(QWidget* meter) : QAccessibleWidget(meter, QAccessible::ProgressBar) {}
};

// Named by its text, described by its accessible name (what the text is).
class AnnouncedLabelAccessible : public QAccessibleWidget {
public:
    explicit AnnouncedLabelAccessible(AnnouncedLabel* label)
        : QAccessibleWidget(label, QAccessible::StaticText) {}

    QString text(QAccessible::Text kind) const override
    {
        const auto* label = static_cast<const QLabel*>(widget());
        switch (kind) {
        case QAccessible::Name:
            return label->text().isEmpty() ? label->accessibleName() : label->text();
        case QAccessible::Description:
            return label->accessibleName();
        default:
            return QAccessibleWidget::text(kind);
        }
    }
};

QAccessibleInterface* ControlsFactory(const QString&, QObject* object)
{
    if (auto* slider = qobject_cast<TickSlider*>(object))
        return new SliderAccessible(slider);
    if (auto* meter = qobject_cast<LevelMeter*>(object))
        return new MeterAccessible(meter);
    if (auto* label = qobject_cast<AnnouncedLabel*>(object))
        return new AnnouncedLabelAccessible(label);
    return nullptr;
}

} // namespace

void InstallAccessibleControls()
{
    static bool installed = false;
    if (!installed)
        QAccessible::installFactory(ControlsFactory);
    installed = true;
}
