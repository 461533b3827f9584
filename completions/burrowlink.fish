# fish completion for burrowlink.

set -l commands list send receive help
complete -c burrowlink -f

set -l none "not __fish_seen_subcommand_from $commands"
complete -c burrowlink -n $none -a list -d 'Show the devices that are receiving'
complete -c burrowlink -n $none -a send -d 'Send files or a note to a device'
complete -c burrowlink -n $none -a receive -d 'Wait for files and notes'
complete -c burrowlink -n $none -a help -d 'Print the usage text'
complete -c burrowlink -n $none -s V -l version -d 'Print the version'
complete -c burrowlink -n $none -s h -l help -d 'Print the usage text'

set -l list "__fish_seen_subcommand_from list"
complete -c burrowlink -n $list -l seconds -x -d 'How long to listen (default 5)'

set -l send "__fish_seen_subcommand_from send"
complete -c burrowlink -n $send -F
complete -c burrowlink -n $send -l to -x -d 'The device: part of its name, or ip[:port]'
complete -c burrowlink -n $send -l name -x -d 'The name the receiver is shown'
complete -c burrowlink -n $send -l text -x -d 'Send this note instead of files'
complete -c burrowlink -n $send -s r -l recursive -d 'Send folders whole, with everything in them'

set -l receive "__fish_seen_subcommand_from receive"
complete -c burrowlink -n $receive -l dir -x -a '(__fish_complete_directories)' -d 'The folder to save into (default .)'
complete -c burrowlink -n $receive -l yes -d 'Accept every offer without asking'
complete -c burrowlink -n $receive -l once -d 'Stop after the first connection'
complete -c burrowlink -n $receive -l name -x -d 'The name to announce'
complete -c burrowlink -n $receive -l port -x -d 'The TCP port to listen on (default 45455)'
