# The `tag` target (see the Snakefile): `mendseqs tag` scattered over
# chunks. The whitelist's index is built once (or a saved one used as it
# is), the reads (FASTQ/FASTA, gzipped or not, or SAM/BAM) are split into
# `chunks` contiguous pieces, each tagged in a job of its own, and the
# tagged reads, tables, counts and summaries gathered. The gathered table,
# counts and summary counts are those of one run of the command on the
# whole input; so are the tagged reads (record for record; the @PG line of
# a BAM names the chunk jobs' command). Compressed files hold the same text,
# not always the same bytes: a compressor's output depends on the pieces it
# is given.
#
# With cells=auto, each chunk's exact whitelist hits are counted first
# (exact_hits.py), one job calls the cells from their sum as the command's
# pass 1 would (call_cells.py), and the chunks are then tagged against the
# called cells, which is what the command's pass 2 does.
import shlex

from tag_settings import TagSettings  # noqa: E402

T = TagSettings(config, os.getcwd())
PYTHON = T.python
MENDSEQS = f"{PYTHON} -m mendseqs_cli"
CHUNKS = range(T.chunks)
CELLS = "cells/called.txt" if T.auto else T.cells
OUTPUTS = [T.output, T.table, T.counts, T.summary] + ([T.plot] if T.plot else [])
TARGETS = OUTPUTS


rule tag:
    input: OUTPUTS


rule index:
    input: T.whitelist
    output: T.index_path
    threads: T.threads
    log: "logs/index.log"
    shell:
        "{MENDSEQS} index {input:q} --max-flex {T.max_flex} --threads {threads} -o {output:q} 2> {log:q}"


rule split:
    input: T.reads
    output: temp(expand("chunks/{chunk}.reads", chunk=CHUNKS))
    shell: "{PYTHON} {SCRIPTS}/split.py {input:q} {output:q}"


rule exact_hits:
    input:
        whitelist=T.matched_against,
        reads="chunks/{chunk}.reads",
    output: temp("cells/{chunk}.exact.tsv")
    threads: T.threads
    log: "logs/exact_hits/{chunk}.log"
    shell:
        "{PYTHON} {SCRIPTS}/exact_hits.py {input.reads:q} --whitelist {input.whitelist:q} --layout {T.layout:q}"
        " {T.max_flex_option} --margin {T.margin} --threads {threads} --batch {T.batch} -o {output:q} 2> {log:q}"


rule call_cells:
    input: expand("cells/{chunk}.exact.tsv", chunk=CHUNKS)
    output:
        cells="cells/called.txt",
        call="cells/call.json",
    params:
        expect=f"--expect-cells {T.expect_cells}" if T.expect_cells else "",
    shell: "{PYTHON} {SCRIPTS}/call_cells.py {output.cells:q} {output.call:q} {params.expect} {input:q}"


rule tag_chunk:
    input:
        whitelist=T.matched_against,
        reads="chunks/{chunk}.reads",
        cells=[CELLS] if CELLS else [],
    output:
        reads=temp(f"tagged/{{chunk}}.{T.part_suffix}"),
        table=temp("tagged/{chunk}.tsv"),
        summary=temp("tagged/{chunk}.json"),
    params:
        cells=f"--cells {shlex.quote(CELLS)}" if CELLS else "",
    threads: T.threads
    log: "logs/tag/{chunk}.log"
    shell:
        "{MENDSEQS} tag {input.reads:q} --whitelist {input.whitelist:q} --layout {T.layout:q} {T.max_flex_option}"
        " --margin {T.margin} {params.cells} --threads {threads} --batch {T.batch}"
        " -o {output.reads:q} --table {output.table:q} --summary {output.summary:q} 2> {log:q}"


rule gather_tag:
    input:
        reads=expand(f"tagged/{{chunk}}.{T.part_suffix}", chunk=CHUNKS),
        tables=expand("tagged/{chunk}.tsv", chunk=CHUNKS),
        summaries=expand("tagged/{chunk}.json", chunk=CHUNKS),
        cells=[CELLS] if CELLS else [],
        call=["cells/call.json"] if T.auto else [],
    output: OUTPUTS
    params:
        cells=f"--cells {shlex.quote(CELLS)}" if CELLS else "",
        call="--call cells/call.json" if T.auto else "",
        plot=f"--plot {shlex.quote(T.plot)}" if T.plot else "",
    shell:
        "{PYTHON} {SCRIPTS}/gather_tag.py --reads {T.output:q} --table {T.table:q} --counts {T.counts:q}"
        " --summary {T.summary:q} {params.cells} {params.call} {params.plot}"
        " --read-parts {input.reads:q} --table-parts {input.tables:q} --summary-parts {input.summaries:q}"
