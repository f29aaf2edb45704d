"""Gene annotations: GTF or GFF3, plain or gzip-compressed, as GENCODE,
Ensembl and the 10x reference packages write them.

Only exons are read (with their transcript and gene); a gene's extent is
taken from its exons, so files without `gene` or `transcript` lines read the
same. GTF names come from the attributes `gene_id`, `gene_name` and
`transcript_id`; GFF3 from `Parent` chains (exon -> transcript -> gene) and
`ID`/`Name`/`gene_name`, with the `gene:`/`transcript:` prefixes of Ensembl's
GFF3 removed.
"""

from __future__ import annotations

import gzip
import re
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import IO

from .errors import InputError

_GTF_ATTRIBUTE = re.compile(r'\s*([^\s;]+)\s+(?:"([^"]*)"|([^;]*?))\s*(?:;|$)')
_GFF_PREFIX = re.compile(r"^(gene|transcript):")


@dataclass
class Transcript:
    id: str
    gene: int  # index into Annotation.genes
    strand: str
    exons: list[tuple[int, int]] = field(default_factory=list)  # 0-based half-open, sorted, merged

    @property
    def introns(self) -> list[tuple[int, int]]:
        return [(a[1], b[0]) for a, b in zip(self.exons, self.exons[1:], strict=False)]


@dataclass
class Gene:
    id: str
    name: str
    chrom: str
    strand: str
    start: int = 1 << 62
    end: int = 0
    transcripts: list[int] = field(default_factory=list)  # indexes into Annotation.transcripts


@dataclass
class Annotation:
    genes: list[Gene]
    transcripts: list[Transcript]

    def chromosomes(self) -> set[str]:
        return {gene.chrom for gene in self.genes}


def _lines(path: str) -> Iterator[tuple[int, str]]:
    try:
        with open(path, "rb") as probe:
            gzipped = probe.read(2) == b"\x1f\x8b"
        stream: IO[str] = (
            gzip.open(path, "rt", encoding="utf-8", errors="replace")
            if gzipped
            else open(path, encoding="utf-8", errors="replace")
        )
        with stream:
            yield from enumerate(stream, 1)
    except (OSError, EOFError) as error:
        reason = getattr(error, "strerror", None) or error
        raise InputError(f"{path}: {reason}") from None


def _gtf_attributes(text: str) -> dict[str, str]:
    found: dict[str, str] = {}
    for match in _GTF_ATTRIBUTE.finditer(text):
        key = match.group(1)
        if key not in found:  # GENCODE repeats `tag`; the first of any key is kept
            found[key] = match.group(2) if match.group(2) is not None else match.group(3)
    return found


def _gff_attributes(text: str) -> dict[str, str]:
    found: dict[str, str] = {}
    for item in text.strip().strip(";").split(";"):
        key, sep, value = item.strip().partition("=")
        if sep:
            found[key] = value
    return found


def read_annotation(path: str) -> Annotation:
    """Every exon of `path`, grouped into transcripts and genes. Fails with
    InputError naming the file and line on a malformed exon line."""
    genes: dict[str, Gene] = {}
    transcripts: dict[str, tuple[str, Transcript]] = {}
    gff_parents: dict[str, str] = {}  # GFF3 transcript ID -> gene ID
    gff_names: dict[str, str] = {}
    gff_exons: list[tuple[str, str, int, int, str, int]] = []
    kind: str | None = None
    for number, line in _lines(path):
        if line.startswith("#") or not line.strip():
            if line.startswith("##gff-version"):
                kind = "gff"
            continue
        fields = line.rstrip("\n\r").split("\t")
        if len(fields) != 9:
            raise InputError(f"{path}, line {number}: not a GTF or GFF3 line (9 tab-separated fields expected)")
        chrom, _, feature, start_text, end_text, _, strand, _, attributes = fields
        if kind is None:
            kind = "gff" if "=" in attributes and '"' not in attributes else "gtf"
        if kind == "gff" and feature not in ("exon",):
            keys = _gff_attributes(attributes)
            if "ID" in keys:
                own = _GFF_PREFIX.sub("", keys["ID"])
                gff_names[own] = keys.get("gene_name") or keys.get("Name") or own
                if "Parent" in keys:
                    gff_parents[own] = _GFF_PREFIX.sub("", keys["Parent"].split(",")[0])
            continue
        if feature != "exon":
            continue
        try:
            start, end = int(start_text) - 1, int(end_text)
        except ValueError:
            raise InputError(
                f"{path}, line {number}: exon bounds '{start_text}', '{end_text}' are not numbers"
            ) from None
        if start < 0 or end <= start or strand not in ("+", "-"):
            raise InputError(f"{path}, line {number}: an exon needs 1 <= start <= end and a strand of + or -")
        if kind == "gff":
            keys = _gff_attributes(attributes)
            if "Parent" not in keys:
                raise InputError(f"{path}, line {number}: a GFF3 exon without Parent")
            for parent in keys["Parent"].split(","):
                gff_exons.append((chrom, strand, start, end, _GFF_PREFIX.sub("", parent), number))
            continue
        keys = _gtf_attributes(attributes)
        if "gene_id" not in keys:
            raise InputError(f"{path}, line {number}: an exon without gene_id")
        gene_id = keys["gene_id"]
        transcript_id = keys.get("transcript_id") or gene_id
        _add_exon(
            genes,
            transcripts,
            chrom,
            strand,
            start,
            end,
            gene_id,
            keys.get("gene_name") or gene_id,
            transcript_id,
            path,
            number,
        )
    for chrom, strand, start, end, transcript_id, number in gff_exons:
        gene_id = gff_parents.get(transcript_id, transcript_id)
        _add_exon(
            genes,
            transcripts,
            chrom,
            strand,
            start,
            end,
            gene_id,
            gff_names.get(gene_id, gene_id),
            transcript_id,
            path,
            number,
        )
    if not genes:
        raise InputError(f"{path}: no exon lines: not a GTF or GFF3 annotation")
    return _assembled(genes, transcripts)


def _add_exon(
    genes: dict[str, Gene],
    transcripts: dict[str, tuple[str, Transcript]],
    chrom: str,
    strand: str,
    start: int,
    end: int,
    gene_id: str,
    gene_name: str,
    transcript_id: str,
    path: str,
    number: int,
) -> None:
    gene = genes.get(gene_id)
    if gene is None:
        gene = genes[gene_id] = Gene(gene_id, gene_name, chrom, strand)
    elif gene.chrom != chrom or gene.strand != strand:
        raise InputError(f"{path}, line {number}: gene {gene_id} on two chromosomes or strands")
    gene.start, gene.end = min(gene.start, start), max(gene.end, end)
    entry = transcripts.get(transcript_id)
    if entry is None:
        entry = transcripts[transcript_id] = (gene_id, Transcript(transcript_id, -1, strand))
    elif entry[0] != gene_id:
        raise InputError(f"{path}, line {number}: transcript {transcript_id} in two genes")
    entry[1].exons.append((start, end))


def _assembled(genes: dict[str, Gene], transcripts: dict[str, tuple[str, Transcript]]) -> Annotation:
    gene_list = sorted(genes.values(), key=lambda g: (g.chrom, g.start, g.end, g.id))
    position = {gene.id: i for i, gene in enumerate(gene_list)}
    transcript_list: list[Transcript] = []
    for gene_id, transcript in sorted(transcripts.values(), key=lambda e: (position[e[0]], e[1].id)):
        transcript.gene = position[gene_id]
        transcript.exons = merged(transcript.exons)
        gene_list[transcript.gene].transcripts.append(len(transcript_list))
        transcript_list.append(transcript)
    return Annotation(gene_list, transcript_list)


def merged(spans: list[tuple[int, int]]) -> list[tuple[int, int]]:
    """Sorted, with overlapping or touching spans joined."""
    out: list[tuple[int, int]] = []
    for start, end in sorted(spans):
        if out and start <= out[-1][1]:
            if end > out[-1][1]:
                out[-1] = (out[-1][0], end)
        else:
            out.append((start, end))
    return out
