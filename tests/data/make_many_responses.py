"""Writes many_lmm.csv and many_counts.csv: small designs with several
responses each, for the many-response tests and their R references
(tests/r/many_responses.R). Run from the repository root; seeded."""

import numpy as np
import pandas as pd

rng = np.random.default_rng(20261210)

# 30 subjects x 6 visits; condition between subjects, time within.
subjects = np.repeat(np.arange(30), 6)
frame = pd.DataFrame({"subject": [f"s{s:02d}" for s in subjects],
                      "condition": np.where(subjects % 2 == 0, "ctrl", "trt"),
                      "time": np.tile(np.arange(6.0), 30)})
trt = (frame["condition"] == "trt").to_numpy(float)
t = frame["time"].to_numpy()
u = rng.normal(size=30)[subjects]
e = rng.normal(size=len(frame))
frame["g1"] = 5.0 + 0.8 * trt + 0.3 * t + 0.2 * trt * t + 1.2 * u + e
frame["g2"] = -2.0 + 0.1 * t + 0.4 * u + 0.9 * rng.normal(size=len(frame))
g3 = 1.0 + 0.5 * trt * t + 2.0 * u + 0.5 * rng.normal(size=len(frame))
g3[rng.choice(len(frame), 17, replace=False)] = np.nan      # missing for this response only
frame["g3"] = g3
frame["g4"] = 1e7 + 1e3 * (0.5 * trt + 0.05 * t + 0.7 * u + rng.normal(size=len(frame)))  # far from 0
frame["g5"] = 3.0 + 0.2 * t + rng.normal(size=len(frame))    # no subject variance: a boundary fit
frame["g6"] = 4.0                                            # constant: cannot be fitted
frame.round(10).to_csv("tests/data/many_lmm.csv", index=False)

# Counts: 20 subjects x 50 cells, library sizes as an offset.
subjects = np.repeat(np.arange(20), 50)
counts = pd.DataFrame({"subject": [f"p{s:02d}" for s in subjects],
                       "condition": np.where(subjects < 10, "ctrl", "trt")})
counts["lib"] = np.round(np.exp(rng.normal(8.0, 0.4, size=len(counts))))
trt = (counts["condition"] == "trt").to_numpy(float)
offset = np.log(counts["lib"].to_numpy() / 1000.0)
for name, (b0, b1, sd_u, k) in {"c1": (1.0, 0.5, 0.4, 2.0), "c2": (-0.5, 0.0, 0.3, 0.8),
                                "c3": (2.5, -0.3, 0.6, 5.0)}.items():
    eta = b0 + b1 * trt + offset + sd_u * rng.normal(size=20)[subjects]
    mu = np.exp(eta)
    counts[name] = rng.poisson(rng.gamma(k, mu / k))
counts.to_csv("tests/data/many_counts.csv", index=False)
eta = -0.3 + 0.8 * trt + 0.7 * rng.normal(size=20)[subjects]
counts["b1"] = (rng.random(len(counts)) < 1.0 / (1.0 + np.exp(-eta))).astype(int)
counts.to_csv("tests/data/many_counts.csv", index=False)
