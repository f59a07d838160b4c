#pragma once

// Control numbers. Capture controls (1 to 13) are those of the UVC control
// channel; device controls are the arguments of HardwareAbstraction::setControl,
// which each controller maps onto capture controls or sensor registers. Both
// kinds share one index space with the caches, 0 to 25.

inline constexpr int kControlCount = 26;

// Capture controls and the standard camera control that carries each.
enum CaptureControl : int {
    kCaptureExposure = 1,  // exposure time, absolute (value converted)
    kCaptureFocus = 2,     // focus, absolute
    kCaptureIris = 3,      // iris, absolute
    kCaptureZoom = 4,      // zoom, absolute
    kCaptureBrightness = 5,
    kCaptureContrast = 6,
    kCaptureHue = 7,
    kCaptureSaturation = 8,
    kCaptureSharpness = 9,
    kCaptureGamma = 10,
    kCaptureBacklightCompensation = 11,
    kCaptureUnsupported = 12,  // no standard control: get and set fail
    kCaptureGain = 13,
};

// What the controller firmware makes of some capture controls.
inline constexpr int kMemoryDataControl = kCaptureSaturation;    // memory window data register
inline constexpr int kMemoryAddressControl = kCaptureSharpness;  // memory window address register
inline constexpr int kMultiplexedControl = kCaptureContrast;     // Cypress: 6-bit selector, value above

// Device controls.
enum DeviceControl : int {
    kExposureControl = 1,         // exposure in microseconds
    kControl3 = 3,                // passed through
    kControl5 = 5,                // trunc(4 x the setControl5 argument + 0.5)
    kControl7 = 7,                // passed through
    kGainControl = 13,            // gain x 16
    kControl14 = 14,              // 0 or 1
    kControl15 = 15,              // 0, 1 or 2; the resolution is re-applied after it
    kOrientationControl = 16,     // 0 normal, 1 reversed
    kControl17 = 17,              // 0 or 1
    kControl18 = 18,              // 0 or 1
    kControl19 = 19,              // 0 or 1
    kControl20 = 20,              // 0 or 1
    kControl21 = 21,              // 0, 1 or 4
    kRegionFirstRowControl = 24,  // first sensor row of the region (even)
    kRowBinningControl = 25,      // 0, 1 or 2
};

// A control number that has a cache entry.
constexpr bool isControlIndex(int control) { return control >= 0 && control < kControlCount; }
