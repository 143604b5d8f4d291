// The picture: ribbons of light. Each ribbon is a band between two points
// that travel on slow, never-repeating curves; the last TrailLength
// positions of the band are drawn as quadrilaterals from the oldest (dim)
// to the newest (bright), so the band seems to leave a glowing trail that
// folds over itself. Colours drift around the hue circle. GDI only: the
// frame is drawn with the DC pen and brush into a memory bitmap by the
// caller and copied to the window in one piece.
#include "product/saver/saver.h"

#include <cmath>

namespace {

uint32_t NextRandom(uint32_t& seed) {
  seed = seed * 1664525u + 1013904223u;
  return seed >> 8;
}

float RandomRange(uint32_t& seed, float low, float high) {
  return low + (high - low) * static_cast<float>(NextRandom(seed) & 0xFFFF) / 65535.0f;
}

// Hue 0..1, brightness 0..1 -> RGB, with full saturation softened a little.
COLORREF HueColour(float hue, float brightness) {
  hue -= std::floor(hue);
  float h = hue * 6.0f;
  int sector = static_cast<int>(h) % 6;
  float f = h - static_cast<float>(static_cast<int>(h));
  float r = 0, g = 0, b = 0;
  switch (sector) {
    case 0: r = 1; g = f; b = 0; break;
    case 1: r = 1 - f; g = 1; b = 0; break;
    case 2: r = 0; g = 1; b = f; break;
    case 3: r = 0; g = 1 - f; b = 1; break;
    case 4: r = f; g = 0; b = 1; break;
    default: r = 1; g = 0; b = 1 - f; break;
  }
  auto channel = [brightness](float c) {
    float v = (0.25f + 0.75f * c) * brightness * 255.0f;
    return static_cast<BYTE>(v < 0 ? 0 : (v > 255 ? 255 : v));
  };
  return RGB(channel(r), channel(g), channel(b));
}

TRibbonPoint CurvePoint(const TSaverScene& scene, const TRibbon& r, int end, double t) {
  // Two incommensurate sines per axis keep the path from repeating.
  const float* rate = r.Rate;
  const float* phase = r.Phase;
  double u = t * rate[end * 2] + phase[end * 2];
  double v = t * rate[end * 2 + 1] + phase[end * 2 + 1];
  double x = 0.5 + 0.34 * std::sin(u) + 0.12 * std::sin(u * 2.31 + v);
  double y = 0.5 + 0.34 * std::cos(v) + 0.12 * std::sin(v * 1.73 - u);
  return {static_cast<float>(x * scene.Width), static_cast<float>(y * scene.Height)};
}

}  // namespace

void SceneInit(TSaverScene& scene, const TSaverSettings& settings, int width, int height, uint32_t seed) {
  scene.Width = width > 0 ? width : 1;
  scene.Height = height > 0 ? height : 1;
  scene.RibbonCount = settings.Ribbons < 1 ? 1 : (settings.Ribbons > MaxRibbons ? MaxRibbons : settings.Ribbons);
  scene.Speed = 0.25f + 0.15f * static_cast<float>(settings.Speed);
  scene.Time = 0;
  scene.Seed = seed ? seed : 1;
  for (int i = 0; i < MaxRibbons; i++) {
    TRibbon& r = scene.Ribbons[i];
    for (int k = 0; k < 4; k++) {
      r.Rate[k] = RandomRange(scene.Seed, 0.23f, 0.61f);
      r.Phase[k] = RandomRange(scene.Seed, 0.0f, 6.2832f);
    }
    r.Hue = RandomRange(scene.Seed, 0.0f, 1.0f);
    r.HueRate = RandomRange(scene.Seed, 0.01f, 0.04f);
    r.Count = 0;
  }
}

void SceneResize(TSaverScene& scene, int width, int height) {
  scene.Width = width > 0 ? width : 1;
  scene.Height = height > 0 ? height : 1;
  for (int i = 0; i < MaxRibbons; i++) scene.Ribbons[i].Count = 0;
}

void SceneStep(TSaverScene& scene) {
  scene.Time += 0.05 * scene.Speed;
  for (int i = 0; i < scene.RibbonCount; i++) {
    TRibbon& r = scene.Ribbons[i];
    if (r.Count == TrailLength) {
      for (int k = 1; k < TrailLength; k++) {
        r.EndA[k - 1] = r.EndA[k];
        r.EndB[k - 1] = r.EndB[k];
      }
      r.Count--;
    }
    r.EndA[r.Count] = CurvePoint(scene, r, 0, scene.Time);
    r.EndB[r.Count] = CurvePoint(scene, r, 1, scene.Time + 0.9);
    r.Count++;
    r.Hue += r.HueRate * 0.05f * scene.Speed;
  }
}

void SceneDraw(const TSaverScene& scene, HDC dc) {
  RECT all = {0, 0, scene.Width, scene.Height};
  FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
  HGDIOBJ old_pen = SelectObject(dc, GetStockObject(DC_PEN));
  HGDIOBJ old_brush = SelectObject(dc, GetStockObject(DC_BRUSH));
  for (int i = 0; i < scene.RibbonCount; i++) {
    const TRibbon& r = scene.Ribbons[i];
    for (int k = 1; k < r.Count; k++) {
      float age = static_cast<float>(k) / static_cast<float>(TrailLength);
      float brightness = age * age;
      COLORREF colour = HueColour(r.Hue + 0.15f * age, brightness);
      SetDCBrushColor(dc, colour);
      SetDCPenColor(dc, HueColour(r.Hue + 0.15f * age, brightness * 0.6f + 0.4f * age));
      POINT quad[4] = {
          {static_cast<LONG>(r.EndA[k - 1].X), static_cast<LONG>(r.EndA[k - 1].Y)},
          {static_cast<LONG>(r.EndB[k - 1].X), static_cast<LONG>(r.EndB[k - 1].Y)},
          {static_cast<LONG>(r.EndB[k].X), static_cast<LONG>(r.EndB[k].Y)},
          {static_cast<LONG>(r.EndA[k].X), static_cast<LONG>(r.EndA[k].Y)},
      };
      Polygon(dc, quad, 4);
    }
  }
  SelectObject(dc, old_brush);
  SelectObject(dc, old_pen);
}
