# The `correct` target (see the Snakefile): included when the config names
# references and queries.
from settings import Settings  # noqa: E402

S = Settings(config, os.getcwd())
PYTHON = S.python
SPLIT = os.path.join(SCRIPTS, "split.py")
GATHER = os.path.join(SCRIPTS, "gather.py")
MENDSEQS = f"{PYTHON} -m mendseqs_cli"
# Chunk results are plain, in the final format; only the gathered file is
# compressed, so that it is one gzip stream like the command's own.
PART = f"corrected/{{chunk}}.{S.format}"
TARGETS = [S.output]


rule index:
    input: S.references
    output: S.index_path
    threads: S.threads
    log: "logs/index.log"
    shell:
        "{MENDSEQS} index {input:q} --max-flex {S.max_flex} --threads {threads} -o {output:q} 2> {log:q}"


rule split:
    input: S.queries
    output: temp(expand("chunks/{chunk}.seq", chunk=range(S.chunks)))
    shell: "{PYTHON} {SPLIT:q} {input:q} {output:q}"


rule correct:
    input:
        references=S.matched_against,
        queries="chunks/{chunk}.seq",
    output: temp(PART)
    threads: S.threads
    log: "logs/correct/{chunk}.log"
    shell:
        "{MENDSEQS} correct {input.references:q} {input.queries:q} {S.max_flex_option} {S.pick_options}"
        " --threads {threads} --batch {S.batch} --format {S.format} -o {output:q} 2> {log:q}"


rule gather:
    input: expand(PART, chunk=range(S.chunks))
    output: S.output
    shell: "{PYTHON} {GATHER:q} {output:q} {input:q}"
