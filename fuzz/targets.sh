# The fuzz targets and the longest input each is given; sourced by the corpus and campaign
# scripts.
fuzz_targets=(decode_fuzz open_stream_fuzz frame_index_fuzz mp3_info_fuzz command_line_fuzz wildcard_fuzz)

max_len() {
    case $1 in
    decode_fuzz | open_stream_fuzz) echo 2048 ;;
    frame_index_fuzz | mp3_info_fuzz) echo 4096 ;;
    command_line_fuzz) echo 512 ;;
    wildcard_fuzz) echo 256 ;;
    esac
}
