import time, korvex
from korvex.sweeps import Kiln, IN_PROCESS
feed = korvex.QualitySeries.from_frame(korvex.truck_feed(seed=1), bulk_density_t_per_m3=1.45)
bed = {"length_m": 250, "depth_m": 45}
kiln = Kiln(1.45, ("LSF=96+-2",))
opts = dict(feed=feed, scheduler=IN_PROCESS, progress=False)
t=time.time()
found = korvex.search("layers", target_effect=5, low=20, high=160, quality="LSF", settings=bed, replicates=6, seed=1, **opts)
print(found.describe(), time.time()-t)
print(found.interval_effect, found.bound)
found.figure().savefig("out-search.png", dpi=80)
for kw in (dict(target_std=1.0), dict(target_share=0.9)):
    t=time.time()
    f = korvex.search("layers", low=20, high=160, quality="LSF", kiln=kiln, settings=bed, replicates=6, seed=1, **kw, **opts)
    print(f.describe(), time.time()-t)
    f.figure().savefig(f"out-search-{list(kw)[0]}.png", dpi=80)
around = korvex.sensitivity("speed_factor", 1.0, spread=0.05, points=11, settings={**bed, "layers": found.value}, replicates=4, seed=1, **opts)
around.figure(bound=found.bound, interval_quality="LSF").savefig("out-sens.png", dpi=80)
