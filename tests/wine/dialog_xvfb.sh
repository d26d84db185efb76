#!/usr/bin/env bash
# End-to-end checks of VX40_AppLoader.exe: the program runs under Wine on an
# X server of its own (Xvfb) and vx40_dialog_driver.exe drives it from
# outside, as an operator would: it reads the controls, presses buttons and
# keys, and reads and dismisses the message boxes.
#
# Covered: dialog template 102 as read back from the program file; the live
# dialog (every control with its id, class, text, style and position); the
# start-up state and the centring; the node field's filter and limit; the
# module refusals of the writer; a port that does not exist; a search on a
# pseudo-terminal mapped as COM12, ended by Stop; Stop while idle; Exit while
# idle and during a search, Escape and the close box; the command-line path,
# quoted and not. Nothing answers on that pseudo-terminal, so a search there
# runs until stopped; the commands against a simulated device are the
# business of dialog_flows.sh.
#
# The COM port is a two-digit one on purpose: such a port opens only through
# the device namespace (\\.\COM12), which the program has to supply.
#
# Leaves build/artifacts/dialog.png (the dialog at start-up) and
# build/artifacts/dialog-error.png (the dialog with an error box).
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=lib/wine_session.bash
source "$top/tests/wine/lib/wine_session.bash"
# shellcheck source=lib/dialog_session.bash
source "$top/tests/wine/lib/dialog_session.bash"

pipe_port=COM12
dialog_session_begin dialog 170 || { finish; exit 1; }
if ! pty_start "$work/pty"; then
    fail "no pseudo-terminal"
    finish
    exit 1
fi
dialog_map_port "$pipe_port" "$PTY_PATH"
# A port that surely does not exist in this prefix.
missing_port=""
for n in 9 8 6 5 4 3 2; do
    [ -e "$WINEPREFIX/dosdevices/com$n" ] || { missing_port=COM$n && break; }
done
echo "display $DISPLAY, prefix $WINEPREFIX, $pipe_port on $PTY_PATH, missing port $missing_port"

# --- The template, as read back from the program file ---

# Style bits, as the resource compiler and the system define them.
declare -A bit=(
    [WS_POPUP]=0x80000000 [WS_CHILD]=0x40000000 [WS_VISIBLE]=0x10000000
    [WS_CAPTION]=0x00C00000 [WS_BORDER]=0x00800000 [WS_VSCROLL]=0x00200000
    [WS_SYSMENU]=0x00080000 [WS_GROUP]=0x00020000 [WS_TABSTOP]=0x00010000
    [DS_MODALFRAME]=0x80 [DS_SETFONT]=0x40
    [BS_PUSHBUTTON]=0 [BS_DEFPUSHBUTTON]=1 [BS_GROUPBOX]=7
    [CBS_DROPDOWN]=2 [ES_AUTOHSCROLL]=0x80 [ES_NUMBER]=0x2000
    [SS_LEFT]=0 [SS_ICON]=3 [SS_NOPREFIX]=0x80
    [WS_EX_APPWINDOW]=0x00040000 [WS_EX_STATICEDGE]=0x00020000
)
# styles "A|B|C": the value of the bits named, as eight hex digits.
styles() {
    local value=0 name
    local IFS='|'
    for name in $1; do
        [ "$name" = 0 ] && continue
        value=$((value | ${bit[$name]}))
    done
    printf '0x%08x' "$value"
}

# Dialog 102 in template order: id, class, x y width height, the styles
# beyond WS_CHILD|WS_VISIBLE, the extended styles, the text ("-" for none,
# "*" for any text that is not empty: the banner's wording is ours).
expected_controls=$(
    cat <<'TABLE'
1000 ComboBox 57 33 50 55 CBS_DROPDOWN|WS_VSCROLL|WS_TABSTOP 0 -
1023 Button 123 32 116 14 BS_DEFPUSHBUTTON|WS_TABSTOP 0 Поиск/Получить информацию
1026 Edit 57 55 49 12 WS_BORDER|WS_TABSTOP|ES_AUTOHSCROLL|ES_NUMBER 0 -
1027 Button 123 54 116 14 BS_PUSHBUTTON|WS_TABSTOP 0 Стоп
1013 Edit 83 196 161 14 WS_BORDER|WS_TABSTOP|ES_AUTOHSCROLL 0 -
1014 Button 13 217 74 14 BS_PUSHBUTTON|WS_TABSTOP 0 Найти файл
1015 Button 97 217 147 14 BS_PUSHBUTTON|WS_TABSTOP 0 Записать модуль в устройство
1021 Button 14 239 113 14 BS_PUSHBUTTON|WS_TABSTOP 0 Сохранить калибровку
1022 Button 133 238 111 14 BS_PUSHBUTTON|WS_TABSTOP 0 Сохранить конфигурацию
1028 Button 14 260 230 14 BS_PUSHBUTTON|WS_TABSTOP 0 Активировать приложение
2 Button 195 290 50 14 BS_PUSHBUTTON|WS_TABSTOP 0 Выйти
-1 Static 13 36 38 10 SS_LEFT|WS_GROUP 0 COM-порт:
-1 Button 7 76 246 104 BS_GROUPBOX 0 Параметры устройства
-1 Static 17 110 85 11 SS_LEFT|WS_GROUP 0 Серийный номер :
-1 Static 17 92 85 11 SS_LEFT|WS_GROUP 0 Тип устройства :
-1 Static 15 198 63 11 SS_LEFT|WS_GROUP 0 Файл для записи :
-1 Static 13 293 30 11 SS_LEFT 0 Статус :
1017 Static 45 293 102 11 WS_BORDER|WS_GROUP 0 -
1018 Static 151 293 28 11 WS_BORDER|WS_GROUP 0 -
-1 Static 7 7 20 20 SS_ICON 0 #128
-1 Static 35 13 214 8 SS_LEFT|SS_NOPREFIX|WS_GROUP 0 *
-1 Button 7 186 246 96 BS_GROUPBOX 0 -
1016 Static 109 108 131 12 WS_GROUP WS_EX_STATICEDGE -
1024 Static 109 90 131 12 WS_GROUP WS_EX_STATICEDGE -
-1 Static 17 145 85 11 SS_LEFT|WS_GROUP 0 APP версия (дата):
-1 Static 17 126 85 11 SS_LEFT|WS_GROUP 0 BOOT версия (дата):
1019 Static 109 142 131 12 WS_GROUP WS_EX_STATICEDGE -
1025 Static 109 126 131 12 WS_GROUP WS_EX_STATICEDGE -
-1 Static 13 56 30 10 SS_LEFT|WS_GROUP 0 485 N:
-1 Static 17 162 85 11 SS_LEFT|WS_GROUP 0 Требуемая вер. BOOT:
1020 Static 109 159 131 12 WS_GROUP WS_EX_STATICEDGE -
TABLE
)

# matches TEXT EXPECTED: "-" wants an empty text, "*" any other.
text_matches() {
    case "$2" in
    -) [ -z "$1" ] ;;
    \*) [ -n "$1" ] ;;
    *) [ "$1" = "$2" ] ;;
    esac
}

check_template() {
    if ! drive template "$exe_w"; then
        fail "dialog template 102 cannot be read"
        show_out
        return
    fi
    cp "$work/out" "$work/template"
    expect_eq "template 102 exists in Russian (1049) only" "1049" "$(out languages)"
    local style exstyle cx cy count
    read -r _ style exstyle _ _ cx cy count <<<"$(out template)"
    expect_eq "dialog styles" \
        "$(styles 'WS_POPUP|WS_VISIBLE|WS_CAPTION|WS_SYSMENU|DS_MODALFRAME|DS_SETFONT') $(styles WS_EX_APPWINDOW)" \
        "$style $exstyle"
    expect_eq "dialog size and item count" "263 311 31" "$cx $cy $count"
    expect_eq "dialog caption, no menu, no class of its own" "VX40_AppLoader||" \
        "$(out caption)|$(out menu)|$(out class)"
    local points weight italic charset face
    read -r points weight italic charset face <<<"$(out font)"
    [ "$weight" = 400 ] && weight=0 # FW_NORMAL and "don't care" both give a normal face
    expect_eq "dialog font: Tahoma 8, normal, upright, default character set" "8 0 0 1 Tahoma" \
        "$points $weight $italic $charset $face"

    local index=0 id class ex ey ew eh estyle eexstyle etext
    local tabstops=""
    while read -r id class ex ey ew eh estyle eexstyle etext; do
        index=$((index + 1))
        local line
        line=$(sed -n "s/^item $index //p" "$work/template")
        local gid gclass gstyle gexstyle gx gy gw gh gtext
        read -r gid gclass gstyle gexstyle gx gy gw gh gtext <<<"$line"
        local want_style want_exstyle
        want_style=$(styles "WS_CHILD|WS_VISIBLE|$estyle")
        want_exstyle=$(styles "$eexstyle")
        local differences=""
        [ "$gid" = "$id" ] || differences+=" id $gid"
        [ "${gclass,,}" = "${class,,}" ] || differences+=" class $gclass"
        [ "$gx $gy $gw $gh" = "$ex $ey $ew $eh" ] || differences+=" position $gx,$gy,$gw,$gh"
        [ "$gstyle" = "$want_style" ] || differences+=" style $gstyle (expected $want_style)"
        [ "$gexstyle" = "$want_exstyle" ] ||
            differences+=" exstyle $gexstyle (expected $want_exstyle)"
        text_matches "$gtext" "$etext" || differences+=" text \"$gtext\""
        if [ -z "$line" ]; then
            fail "template item $index ($id): missing"
        elif [ -z "$differences" ]; then
            pass "template item $index: $id $class \"$gtext\""
        else
            fail "template item $index ($id $class $etext):$differences"
        fi
        [ $((${gstyle:-0} & bit[WS_TABSTOP])) -ne 0 ] && tabstops+=" $gid"
    done <<<"$expected_controls"
    expect_eq "tab order" " 1000 1023 1026 1027 1013 1014 1015 1021 1022 1028 2" "$tabstops"
}

# The live dialog: the same controls in the same order, at the positions the
# template gives through the dialog's base units. Some style bits are the
# template's business only: Wine's edit and static controls turn WS_BORDER
# into WS_EX_CLIENTEDGE, and a combo box keeps its WS_VSCROLL for the list.
check_live_controls() {
    if ! drive template "$exe_w" + dump; then
        fail "the live dialog cannot be read"
        show_out
        return
    fi
    cp "$work/out" "$work/dump"
    local dw dh caption
    read -r _ _ _ _ dw dh caption <<<"$(out dialog)"
    expect_eq "client area in dialog units, and caption" "263 311 VX40_AppLoader" \
        "$dw $dh $caption"
    local loose=$((bit[WS_BORDER] | bit[WS_VSCROLL]))
    local index=0 id class ex ey ew eh estyle eexstyle etext
    while read -r id class ex ey ew eh estyle eexstyle etext; do
        index=$((index + 1))
        local line
        line=$(sed -n "s/^control $index //p" "$work/dump")
        local gid gclass gstyle gexstyle gx gy gw gh gvisible genabled gtext
        read -r gid gclass gstyle gexstyle gx gy gw gh gvisible genabled gtext <<<"$line"
        local want=$(($(styles "WS_CHILD|WS_VISIBLE|$estyle") & ~loose))
        local differences=""
        [ "$gid" = "$id" ] || differences+=" id $gid"
        [ "${gclass,,}" = "${class,,}" ] || differences+=" class $gclass"
        [ "$gvisible $genabled" = "1 1" ] || differences+=" visible/enabled $gvisible $genabled"
        [ $((${gstyle:-0} & want)) -eq "$want" ] ||
            differences+=" style $gstyle lacks $(printf '0x%08x' $((want & ~${gstyle:-0})))"
        case "$estyle" in
        *SS_ICON*)
            # An icon control takes the size of its icon.
            [ "$gx $gy" = "$ex $ey" ] || differences+=" position $gx,$gy"
            grep -qx "icon $index 1" "$work/dump" || differences+=" no icon loaded"
            ;;
        *CBS_DROPDOWN*)
            # Its window is the closed box; the height includes the list.
            [ "$gx $gy $gw" = "$ex $ey $ew" ] || differences+=" position $gx,$gy,$gw"
            ;;
        *)
            [ "$gx $gy $gw $gh" = "$ex $ey $ew $eh" ] ||
                differences+=" position $gx,$gy,$gw,$gh"
            # The fields' contents are the start-up state's business.
            case "$id" in 1000 | 1013 | 1026) ;; *) text_matches "$gtext" "$etext" || differences+=" text \"$gtext\"" ;; esac
            ;;
        esac
        if [ -z "$line" ]; then
            fail "control $index ($id $class): missing"
        elif [ -z "$differences" ]; then
            pass "control $index: $id $class at $ex,$ey"
        else
            fail "control $index ($id $class $etext):$differences"
        fi
    done <<<"$expected_controls"
    local extra
    extra=$(grep -c '^control ' "$work/dump")
    expect_eq "the dialog has exactly 31 controls" 31 "$extra"
    # Font metrics differ between systems, so a label that its text overflows
    # is told, not counted.
    local id width room text
    while read -r _ _ id width room text; do
        echo "note: label $id \"$text\" needs $width pixels and has $room; it wraps and is cut"
    done < <(grep '^overflow ' "$work/dump")
}

check_start_up_state() {
    drive combo 1000 + text 1026 + text 1013 + limit 1013 + limit 1026 + focus + rects
    local list
    list=$(sed -n 's/^combo-item [0-9]* //p' "$work/out" | tr '\n' ' ')
    expect_eq "port list" "COM1 COM2 COM3 COM4 COM5 COM6 COM7 COM8 COM9 " "$list"
    expect_eq "COM1 selected and shown" "1000 9 0 COM1" "$(out combo)"
    expect_eq "node field" "1026 255" "$(out text)"
    expect_eq "path field empty" "" "$(out 'text 1013')"
    expect_eq "typing limits: path 1280, node 3" "1013 1280 1026 3" \
        "$(sed -n 's/^limit //p' "$work/out" | tr '\n' ' ' | sed 's/ $//')"
    expect_eq "the port list has the focus" 1000 "$(out focus)"
    local x0 y0 x1 y1 dr db
    read -r x0 y0 x1 y1 <<<"$(out window)"
    read -r _ _ dr db <<<"$(out desktop)"
    local width=$((x1 - x0)) height=$((y1 - y0))
    expect_eq "centred on the desktop ($dr x $db)" \
        "$(((dr - width) / 2)) $(((db - height) / 2))" "$x0 $y0"
    if actions_enabled && drive enabled 1027 + enabled 2; then
        expect_eq "every button enabled" "1027 1|2 1" \
            "$(sed -n 's/^enabled //p' "$work/out" | paste -sd '|')"
    else
        fail "an action button is disabled at start-up"
        show_out
    fi
}

# ES_NUMBER and the limit, through typed characters: "a1b2c3d4" gives "123"
# only with both (the limit alone gives "a1b", the filter alone "1234").
check_node_field() {
    drive type 1026 a1b2c3d4 + text 1026
    expect_eq "the node field takes digits only, at most three" "1026 123" "$(out text)"
    drive type 1026 255
}

# --- 1: no arguments: template, controls, start-up state, commands, Exit ---

if app_start; then
    check_template
    check_live_controls
    check_start_up_state
    check_node_field
    screenshot dialog.png

    head -c 1029 /dev/zero >"$work/short.vx4"
    drive set-text 1013 "$(winpath "$work/none.vx4")" + click 1015
    expect_box "write, module file missing" "Ошибка открытия файла."
    if actions_enabled; then pass "buttons enabled after the write"; else fail "buttons stay disabled after the write"; fi
    drive set-text 1013 "$(winpath "$work/short.vx4")" + click 1015
    expect_box "write, 1029-byte file" "Файл не является модулем устройства Velmo 2.0."

    if [ -n "$missing_port" ]; then
        drive set-text 1000 "$missing_port" + click 1023
        expect_box "search on $missing_port, which does not exist" "COM-порт не открывается."
    else
        fail "every port from COM2 to COM9 exists in the prefix"
    fi

    # A search on the mapped port polls for a device that never answers.
    actions_enabled
    drive set-text 1000 "$pipe_port" + click 1023 + wait-enabled 1023 0 5000 + enabled 1027 + enabled 2
    if [ "$(sed -n 's/^enabled //p' "$work/out" | paste -sd '|')" = "1023 0|1027 1|2 1" ]; then
        pass "the search runs with the action buttons disabled, Stop and Exit enabled"
    else
        fail "the search did not start"
        show_out
    fi
    received=""
    for _ in $(seq 50); do
        received=$(pty_received "$work/pty")
        [ "${received%% *}" != 0 ] && [ -n "$received" ] && break
        sleep 0.2
    done
    count=${received%% *}
    bytes=${received#* }
    if [ -n "$count" ] && [ "$count" != 0 ] && [ "${bytes:0:2}" = 02 ]; then
        pass "$pipe_port opened and frames went out ($count bytes, starting ${bytes:0:16})"
    else
        fail "nothing arrived on $pipe_port: \"$received\""
    fi
    # Stop, pressed twice: one interruption and one message.
    drive click 1027 + click 1027 + peek-box 15000
    screenshot dialog-error.png
    expect_box "Stop during the search" "Прервано пользователем."
    if drive no-box 2000; then
        pass "one message only"
    else
        fail "a second message box"
        show_out
    fi
    if actions_enabled; then pass "buttons enabled after Stop"; else fail "buttons stay disabled after Stop"; fi

    drive click 2
    app_closes "Exit while idle"
fi

# --- 2: a path in double quotes, as Explorer passes it; Escape ---

if app_start 'C:\some dir\m.vx4'; then
    drive text 1013
    expect_eq "a quoted path arrives without its quotes" 'C:\some dir\m.vx4' "$(out 'text 1013')"
    drive escape
    app_closes "Escape"
fi

# --- 3: a tail that is not one quoted string; Stop while idle; Exit during
# a search ---

if app_start 'C:\a b\m.vx4' x; then
    drive text 1013
    expect_eq "any other tail stays as it is" '"C:\a b\m.vx4" x' "$(out 'text 1013')"
    if drive click 1027 + no-box 1500; then
        pass "Stop while idle shows nothing"
    else
        fail "Stop while idle"
        show_out
    fi
    if actions_enabled; then pass "buttons enabled after Stop while idle"; else fail "buttons disabled after Stop while idle"; fi
    drive set-text 1000 "$pipe_port" + click 1023 + wait-enabled 1023 0 5000 + sleep 500 + click 2
    expect_box "Exit during the search: its message first" "Прервано пользователем."
    app_closes "Exit during the search, after the message"
fi

# --- 4: the close box ---

if app_start; then
    drive close
    app_closes "The close box"
fi

finish
