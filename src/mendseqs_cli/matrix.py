"""Count matrices out: Matrix Market directories as Cell Ranger writes them
(what scanpy.read_10x_mtx and Seurat's Read10X load), and AnnData files.

A directory holds `matrix.mtx.gz` (features by barcodes, integer
coordinates, sorted by barcode then feature), `features.tsv.gz` (id, name,
`Gene Expression`) and `barcodes.tsv.gz`. The gzip streams carry no time or
name, so one input gives the same bytes on every run.
"""

from __future__ import annotations

import gzip
import io
import os
from collections.abc import Sequence
from dataclasses import dataclass

from .errors import InputError

FEATURE_TYPE = "Gene Expression"


@dataclass
class Matrix:
    """Sparse counts: features (id, name), barcodes, and (barcode, feature,
    count) entries sorted by barcode then feature, each at most once."""

    features: Sequence[tuple[str, str]]
    barcodes: Sequence[str]
    entries: Sequence[tuple[int, int, int]]

    def restricted(self, keep: Sequence[str]) -> Matrix:
        """The same counts for the barcodes `keep` (in that order), those
        without any included as empty columns."""
        column = {b: i for i, b in enumerate(self.barcodes)}
        moved = {column[b]: i for i, b in enumerate(keep) if b in column}
        entries = sorted((moved[c], f, n) for c, f, n in self.entries if c in moved)
        return Matrix(self.features, list(keep), entries)


def _gzipped(path: str, text: str) -> None:
    with open(path, "wb") as raw, gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=0, compresslevel=6) as out:
        out.write(text.encode())


def write_directory(path: str, matrix: Matrix, version: str) -> None:
    """The three files under `path` (made if missing)."""
    try:
        os.makedirs(path, exist_ok=True)
        buffer = io.StringIO()
        buffer.write("%%MatrixMarket matrix coordinate integer general\n")
        buffer.write(f'%metadata_json: {{"software_version": "mendseqs-{version}", "format_version": 2}}\n')
        buffer.write(f"{len(matrix.features)} {len(matrix.barcodes)} {len(matrix.entries)}\n")
        buffer.writelines(f"{f + 1} {c + 1} {n}\n" for c, f, n in matrix.entries)
        _gzipped(os.path.join(path, "matrix.mtx.gz"), buffer.getvalue())
        _gzipped(
            os.path.join(path, "features.tsv.gz"),
            "".join(f"{ident}\t{name}\t{FEATURE_TYPE}\n" for ident, name in matrix.features),
        )
        _gzipped(os.path.join(path, "barcodes.tsv.gz"), "".join(f"{b}\n" for b in matrix.barcodes))
    except OSError as error:
        raise InputError(f"{path}: {error.strerror or error}") from None


def write_h5ad(path: str, matrix: Matrix) -> None:
    """An AnnData file of `matrix`: barcodes by features, as scanpy's
    read_10x_mtx makes it (names as var_names, made unique; ids in
    var['gene_ids']). anndata is imported here, only when asked for."""
    try:
        import anndata  # type: ignore[import-untyped,import-not-found,unused-ignore]
        import numpy  # type: ignore[import-untyped,import-not-found,unused-ignore]
        import pandas  # type: ignore[import-untyped,import-not-found,unused-ignore]
        from scipy import sparse  # type: ignore[import-untyped,import-not-found,unused-ignore]
    except ImportError as error:
        raise InputError(f"--h5ad needs anndata (Debian: apt install python3-anndata): {error}") from None
    rows = numpy.fromiter((c for c, _, _ in matrix.entries), dtype=numpy.int64, count=len(matrix.entries))
    cols = numpy.fromiter((f for _, f, _ in matrix.entries), dtype=numpy.int64, count=len(matrix.entries))
    values = numpy.fromiter((n for _, _, n in matrix.entries), dtype=numpy.float32, count=len(matrix.entries))
    counts = sparse.csr_matrix((values, (rows, cols)), shape=(len(matrix.barcodes), len(matrix.features)))
    var = pandas.DataFrame(
        {"gene_ids": [i for i, _ in matrix.features], "feature_types": FEATURE_TYPE},
        index=pandas.Index([name for _, name in matrix.features], dtype=str),
    )
    obs = pandas.DataFrame(index=pandas.Index(list(matrix.barcodes), dtype=str))
    adata = anndata.AnnData(X=counts, obs=obs, var=var)
    adata.var_names_make_unique()
    try:
        adata.write_h5ad(path)
    except OSError as error:
        raise InputError(f"{path}: {error.strerror or error}") from None
