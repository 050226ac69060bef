// Measurement lines: indoor air whose values wander slowly around typical
// levels (each value is pulled back towards its mean and nudged at random).
#include <algorithm>
#include <cstdio>

#include "sim.h"

namespace {
struct Quantity {
    double value, mean, pull, step, low, high;
};
Quantity gPm25, gPm10Extra, gTemp, gHumidity, gCo2;
}  // namespace

static void wander(Quantity &q) {
    double nudge = (rngUniform() + rngUniform() + rngUniform() - 1.5) * 2 * q.step;
    q.value += (q.mean - q.value) * q.pull + nudge;
    q.value = std::clamp(q.value, q.low, q.high);
}

void readingsReset() {
    gPm25 = {12.0, 12.0, 0.02, 0.6, 1.0, 150.0};
    gPm10Extra = {7.0, 7.0, 0.03, 0.4, 0.5, 80.0};
    gTemp = {22.4, 22.5, 0.01, 0.05, 15.0, 32.0};
    gHumidity = {42.0, 42.0, 0.01, 0.2, 20.0, 70.0};
    gCo2 = {640.0, 650.0, 0.01, 8.0, 400.0, 2500.0};
}

std::string readingLine() {
    for (Quantity *q : {&gPm25, &gPm10Extra, &gTemp, &gHumidity, &gCo2}) wander(*q);
    char text[128];
    snprintf(text, sizeof text, "PM2.5=%.1fug/m3 PM10=%.1fug/m3 T=%.1fC RH=%.1f%% CO2=%.0fppm",
             gPm25.value, gPm25.value + gPm10Extra.value, gTemp.value, gHumidity.value,
             gCo2.value);
    return gOpt.stamp ? clockStamp(clockNow()) + " " + text : text;
}
