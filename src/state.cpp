// Layer records of the velocity model.
#include "state.hpp"

namespace tolvane::state {

Layer Layer::from_input(const InputLayer& layer) {
  return Layer{
      .depth_km = static_cast<double>(layer.depth_km),
      .thickness_km = static_cast<double>(layer.thickness_km),
      .vp_km_s = layer.vp_km_s,
      .vsh_km_s = layer.vsh_km_s,
      .density_g_cm3 = layer.density_g_cm3,
      .attenuation_p = layer.attenuation_p,
      .attenuation_s = layer.attenuation_s,
  };
}

}  // namespace tolvane::state
